#include "component/AutomationObject.h"
#include "component/ResultWindow.h"
#include "component/clsLISResultEntry.h"
#include "component/modMain.h"
#include "labserver/ProcedureRegistry.h"
#include "platform/ScriptedPresenter.h"
#include "tests/support/Caught.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>

namespace {
// What the component entry did with the windows it created.
QStringList calls;

struct Window : ResultWindow {
    ~Window() override { calls << QStringLiteral("released"); }
    void setTop(int t) override { calls << QStringLiteral("top %1").arg(t); }
    void setLeft(double l) override { calls << QStringLiteral("left %1").arg(l); }
    void Fill_Results() override { calls << QStringLiteral("fill"); }
    void showModal() override { calls << QStringLiteral("show ") + session().Request.PatientName; }
};

struct ObservingFactory : ResultWindowFactory {
    std::unique_ptr<ResultWindow> create(ResultWindowKind kind) override
    {
        calls << QStringLiteral("create ") + resultWindowName(kind);
        return std::make_unique<Window>();
    }
};

// Lets Lab_Get_PatientInformation answer with given rows for one test.
struct PatientInformationSwap {
    explicit PatientInformationSwap(ResultSet rows)
        : saved(*ProcedureRegistry::find(QStringLiteral("Lab_Get_PatientInformation")))
    {
        ProcedureRegistry::add({saved.name, 1, 1, [rows](ProcedureContext&) { return rows; }});
    }
    ~PatientInformationSwap() { ProcedureRegistry::add(saved); }
    ProcedureDef saved;
};
} // namespace

class TstComponentEntry : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_db = std::make_unique<TestDatabase>();
        m_db->load(QStringLiteral("requests"));
        m_db->useForComponent();
        ResultWindowFactory::install(&m_windows);
        Presenter::install(&m_presenter);
        m_entry = CreateObjectAs<clsLISResultEntry>(QStringLiteral("Velquor.clsLISResultEntry"));
        QVERIFY(m_entry);
        calls.clear();
        m_presenter.clear();
    }
    void cleanup()
    {
        m_entry.reset();
        QVERIFY(!session().LabDb);
        Presenter::install(nullptr);
        ResultWindowFactory::install(nullptr);
        m_db.reset();
    }

    void showOpensTheWindowForTheRequest()
    {
        m_entry->Show_ResultEntry(QStringLiteral("  R1  "), qint16(600), QVariant(1500));
        QCOMPARE(m_db->trace(), (QStringList{"select * from patient_data..tbHospitalInfo",
                                             "Lab_Get_PatientInformation 'R1'"}));
        QCOMPARE(calls, (QStringList{"create frmDownloaded", "top 600", "left 1500", "fill",
                                     "show DELA CRUZ, JUAN SANTOS", "released"}));
        // Only the hospital's title and company are upper-cased.
        const SessionState& s = session();
        const RequestInfo& r = s.Request;
        QCOMPARE((QStringList{s.RequestNum, r.RequestDate.toString(Qt::ISODate), r.Age, r.Ward,
                              r.Pathologist, r.Specimen, s.HeaderTitle, s.HeaderCompany,
                              s.HeaderAddress}),
                 (QStringList{"  R1  ", "2024-03-07T09:15:00", "43", "Medical", "Dr. Ana Reyes",
                              "Serum", "DEPARTMENT OF PATHOLOGY", "ST. MERCY GENERAL HOSPITAL",
                              "12 Harbour Road, Port Town"}));
        QVERIFY(m_presenter.messages().isEmpty());

        // Omitted Top is 0; omitted Left leaves the window's own left alone.
        calls.clear();
        m_entry->Show_ResultEntry(QStringLiteral("R2"));
        QCOMPARE(calls, (QStringList{"create frmNVDownloads", "top 0", "fill", "show O'BRIEN, MARY",
                                     "released"}));
        QCOMPARE(r.RoomId, QString()); // not admitted, and no Null either
        QCOMPARE(caught([&] { m_entry->Show_ResultEntry("R1", {}, QVariant("wide")); }).number, 13);

        // A Null in the header reads as empty; an empty table keeps the last header.
        for (const char* change :
             {"UPDATE tbHospitalInfo SET Title = NULL", "DELETE FROM tbHospitalInfo"}) {
            m_db->exec(QLatin1String(change));
            m_entry->Show_ResultEntry(QStringLiteral("R1"));
            QCOMPARE((QStringList{s.HeaderTitle, s.HeaderCompany, s.HeaderAddress}),
                     (QStringList{"", "ST. MERCY GENERAL HOSPITAL", "12 Harbour Road, Port Town"}));
        }
    }

    void unformattedAndUnknownRequestsOpenNothing()
    {
        m_entry->Show_ResultEntry(QStringLiteral("R4"));
        // An unknown request after a formatted one never opens under the
        // previous patient; its quotes cannot end the literal.
        m_entry->Show_ResultEntry(QStringLiteral("R1"));
        calls.clear();
        m_entry->Show_ResultEntry(QStringLiteral("R1' or '1'='1"));
        QCOMPARE(m_db->trace().last(),
                 QStringLiteral("Lab_Get_PatientInformation 'R1'' or ''1''=''1'"));
        QVERIFY(calls.isEmpty());
        QCOMPARE(m_presenter.messageTexts(),
                 QStringList(2, QStringLiteral("Exam not yet formatted.")));
        // What to do differs: the laboratory formats the exam, or the number
        // is wrong.
        const auto& told = m_presenter.messages();
        QVERIFY(told[0].advice.contains(" of request R4 has no result format") &&
                told[1].advice.startsWith("Request R1' or '1'='1 is not in the laboratory"));
        QCOMPARE(session().Request.PatientName, QString());
    }

    void aBadRequestRowChangesNothing_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("error"); // 3265: the column is missing
        QTest::newRow("Null in the last column") << "BloodType" << QVariant() << 94;
        QTest::newRow("date that is no date") << "RequestDate" << QVariant("someday") << 13;
        QTest::newRow("Null date") << "RequestDate" << QVariant() << 94;
        QTest::newRow("missing column") << "BloodType" << QVariant() << 3265;
    }
    void aBadRequestRowChangesNothing()
    {
        QFETCH(QString, column);
        QFETCH(QVariant, value);
        QFETCH(int, error);
        m_entry->Show_ResultEntry(QStringLiteral("R1"));
        const QString before = session().Request.PatientName;

        // R2's row, spoilt.
        const auto r2 =
            session().LabDb->openRecordset(QStringLiteral("Lab_Get_PatientInformation 'R2'"));
        ResultSet rows = r2->data();
        const qsizetype at = rows.columns.indexOf(column);
        if (error == 3265)
            rows.columns[at] = QStringLiteral("Renamed");
        else
            rows.rows[0][at] = value;
        PatientInformationSwap swap(rows);
        calls.clear();
        QCOMPARE(caught([&] { m_entry->Show_ResultEntry(QStringLiteral("R1")); }).number, error);
        QCOMPARE(session().Request.PatientName, before);
        QCOMPARE(session().Request.BloodType, QStringLiteral("O+"));
        QVERIFY(calls.isEmpty());
    }

    void oneObjectPerThreadAndOnlyKnownClasses()
    {
        QCOMPARE(caught([] { clsLISResultEntry second; }).number, 3705);
        const Caught e = caught([] { CreateObject(QStringLiteral("Velquor.NoSuchClass")); });
        QVERIFY(e.number == 429 && e.description.contains("Velquor.NoSuchClass"));
        QVERIFY(session().LabDb->isOpen());
    }

private:
    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<clsLISResultEntry> m_entry;
    ObservingFactory m_windows;
    ScriptedPresenter m_presenter;
};

QTEST_MAIN(TstComponentEntry)
#include "tst_component_entry.moc"
