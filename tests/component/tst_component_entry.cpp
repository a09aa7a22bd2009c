#include "AutomationObject.h"
#include "Caught.h"
#include "ProcedureRegistry.h"
#include "ResultWindow.h"
#include "ScriptedPresenter.h"
#include "SettingsStore.h"
#include "TestDatabase.h"
#include "clsLISResultEntry.h"
#include "modMain.h"

#include <QtTest>

namespace {
// Records what the component entry does with the windows it creates.
class ObservingFactory : public ResultWindowFactory {
public:
    QStringList calls;
    std::unique_ptr<ResultWindow> create(ResultWindowKind kind) override
    {
        calls << QStringLiteral("create ") + resultWindowName(kind);
        return std::make_unique<Window>(calls);
    }

private:
    class Window : public ResultWindow {
    public:
        explicit Window(QStringList& calls)
            : m_calls(calls)
        {
        }
        ~Window() override { m_calls << QStringLiteral("released"); }
        void setTop(int t) override { m_calls << QStringLiteral("top %1").arg(t); }
        void setLeft(double l) override { m_calls << QStringLiteral("left %1").arg(l); }
        void Fill_Results() override { m_calls << QStringLiteral("fill"); }
        void showModal() override
        {
            m_calls << QStringLiteral("show ") + session().Request.PatientName;
        }

    private:
        QStringList& m_calls;
    };
};

const QString kTitle = QStringLiteral("Invalid Exam Format");
const QString kNotFormatted = QStringLiteral("Exam not yet formatted.");

ResultSet patientRow(const QVariant& age, const QVariant& requestDate, const QVariant& bloodType,
                     const QString& name)
{
    ResultSet rs;
    const QStringList cols = {
        "HospNum",   "IDNum",      "PatientName", "Sex",         "Age",         "CivilStatus",
        "RoomId",    "Class",      "Ward",        "RequestDate", "Doctor",      "Rush",
        "RefNum",    "Transplant", "Dialysis",    "OrNum",       "ExamName",    "LabSection",
        "SectionID", "Code",       "FormType",    "ValueType",   "Pathologist", "SpecimenId",
        "Specimen",  "Reader",     "ReaderID",    "Physician",   "PhysicianID", "SupExamID",
        "SupExam",   "ResidentId", "Resident",    "BloodType"};
    rs.columns = cols;
    QVariantList row;
    for (const QString& c : cols)
        row << c.toLower();
    row[2] = name;
    row[4] = age;
    row[9] = requestDate;
    row[20] = QStringLiteral("5");
    row[33] = bloodType;
    rs.rows << row;
    return rs;
}
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
        m_windows.calls.clear();
        m_presenter.clear();
        m_db->clearTrace();
    }
    void cleanup()
    {
        m_entry.reset();
        QVERIFY(!session().LabDb);
        Presenter::install(nullptr);
        ResultWindowFactory::install(nullptr);
        m_db.reset();
    }

    void windowChoice_data()
    {
        QTest::addColumn<QString>("formType");
        QTest::addColumn<QString>("valueType");
        QTest::addColumn<QString>("window");
        const QString cut = QStringLiteral("frmDownloaded");
        const QString nv = QStringLiteral("frmNVDownloads");
        for (const char* v : {"Z", "5", "W"})
            QTest::addRow("H/%s", v) << "H" << v << cut;
        for (const char* v : {"1", "7", "8", "B"})
            QTest::addRow("H/%s", v) << "H" << v << nv;
        for (const char* v : {"", "D", "z", "P"})
            QTest::addRow("H/'%s'", v) << "H" << v << "";
        QTest::newRow("5") << "5"
                           << "anything" << cut;
        QTest::newRow("W") << "W"
                           << "" << cut;
        for (const char* f : {"1", "7", "8", "B"})
            QTest::addRow("%s", f) << f << "Z" << nv;
        for (const char* f : {"Z", "h", "", "P", "D", "b", "5 "})
            QTest::addRow("'%s'", f) << f << "Z"
                                     << "";
    }
    void windowChoice()
    {
        QFETCH(QString, formType);
        QFETCH(QString, valueType);
        QFETCH(QString, window);
        QCOMPARE(resultWindowName(chooseResultWindow(formType, valueType)), window);
    }

    void showOpensTheWindowForTheRequest()
    {
        m_entry->Show_ResultEntry(QStringLiteral("  R1  "), qint16(600), QVariant(1500));
        QCOMPARE(m_db->trace(),
                 (QStringList{QStringLiteral("select * from patient_data..tbHospitalInfo"),
                              QStringLiteral("Lab_Get_PatientInformation 'R1'")}));
        QCOMPARE(m_windows.calls, (QStringList{"create frmDownloaded", "top 600", "left 1500",
                                               "fill", "show DELA CRUZ, JUAN SANTOS", "released"}));
        const SessionState& s = session();
        QCOMPARE(s.RequestNum, QStringLiteral("  R1  "));
        QCOMPARE(s.HeaderTitle, QStringLiteral("DEPARTMENT OF PATHOLOGY"));
        QCOMPARE(s.HeaderCompany, QStringLiteral("ST. MERCY GENERAL HOSPITAL"));
        QCOMPARE(s.HeaderAddress, QStringLiteral("12 Harbour Road, Port Town"));
        QCOMPARE(s.Request.RequestDate, QDateTime(QDate(2024, 3, 7), QTime(9, 15)));
        QCOMPARE(s.DbServer, m_db->folder());
        QVERIFY(m_presenter.messages().isEmpty());

        // Omitted Top is 0; omitted Left leaves the window's own left alone.
        m_windows.calls.clear();
        m_entry->Show_ResultEntry(QStringLiteral("R2"));
        QCOMPARE(m_windows.calls, (QStringList{"create frmNVDownloads", "top 0", "fill",
                                               "show O'BRIEN, MARY", "released"}));
        QCOMPARE(m_db->trace().last(), QStringLiteral("Lab_Get_PatientInformation 'R2'"));
    }

    void leftMustBeANumber()
    {
        QCOMPARE(caught([&] {
                     m_entry->Show_ResultEntry(QStringLiteral("R1"), {}, QVariant("wide"));
                 }).number,
                 13);
    }

    void unformattedAndUnknownRequestsOpenNothing()
    {
        m_entry->Show_ResultEntry(QStringLiteral("R4"));
        // Known but unformatted, then unknown after a formatted one: the
        // unknown request never opens under the previous patient.
        m_entry->Show_ResultEntry(QStringLiteral("R1"));
        m_windows.calls.clear();
        m_entry->Show_ResultEntry(QStringLiteral("NO-SUCH"));
        QVERIFY(m_windows.calls.isEmpty());
        QCOMPARE(m_presenter.messages().size(), 2);
        for (const MessageRequest& m : m_presenter.messages()) {
            QCOMPARE(m.text, kNotFormatted);
            QCOMPARE(m.title, kTitle);
            QCOMPARE(m.icon, MsgIcon::Information);
            QCOMPARE(m.buttons, MsgButtons::Ok);
        }
        QCOMPARE(session().Request.PatientName, QString());
        QCOMPARE(session().Request.FormType, QString());
    }

    void quotesInTheRequestNumberCannotEndTheLiteral()
    {
        m_entry->Show_ResultEntry(QStringLiteral("R1' or '1'='1"));
        QCOMPARE(m_db->trace().last(),
                 QStringLiteral("Lab_Get_PatientInformation 'R1'' or ''1''=''1'"));
        QVERIFY(m_windows.calls.isEmpty());
    }

    void hospitalHeader_data()
    {
        QTest::addColumn<QString>("update");
        QTest::addColumn<QStringList>("header");
        QTest::newRow("empty table keeps the last header")
            << "DELETE FROM tbHospitalInfo"
            << QStringList{"DEPARTMENT OF PATHOLOGY", "ST. MERCY GENERAL HOSPITAL",
                           "12 Harbour Road, Port Town"};
        QTest::newRow("Nulls read as empty")
            << "UPDATE tbHospitalInfo SET Title = NULL, Company = NULL, address1 = NULL"
            << QStringList{"", "", ""};
        QTest::newRow("only title and company upper-cased")
            << "UPDATE tbHospitalInfo SET Title = 'Lab', Company = 'Mercy', address1 = 'Main St.'"
            << QStringList{"LAB", "MERCY", "Main St."};
    }
    void hospitalHeader()
    {
        QFETCH(QString, update);
        QFETCH(QStringList, header);
        m_entry->Show_ResultEntry(QStringLiteral("R1"));
        m_db->exec(update);
        m_entry->Show_ResultEntry(QStringLiteral("R1"));
        const SessionState& s = session();
        QCOMPARE((QStringList{s.HeaderTitle, s.HeaderCompany, s.HeaderAddress}), header);
    }

    void requestInfoIsWhollyNewOrUnchanged_data()
    {
        QTest::addColumn<QVariant>("age");
        QTest::addColumn<QVariant>("requestDate");
        QTest::addColumn<QVariant>("bloodType");
        QTest::addColumn<int>("error");
        QTest::newRow("numeric age") << QVariant(7) << QVariant("3/7/2024") << QVariant("O+") << 0;
        QTest::newRow("Null in the last column")
            << QVariant(7) << QVariant("3/7/2024") << QVariant() << 94;
        QTest::newRow("date that is no date")
            << QVariant(7) << QVariant("someday") << QVariant("O+") << 13;
        QTest::newRow("Null date") << QVariant(7) << QVariant() << QVariant("O+") << 94;
    }
    void requestInfoIsWhollyNewOrUnchanged()
    {
        QFETCH(QVariant, age);
        QFETCH(QVariant, requestDate);
        QFETCH(QVariant, bloodType);
        QFETCH(int, error);
        m_entry->Show_ResultEntry(QStringLiteral("R1"));
        const QString before = session().Request.PatientName;

        ResultSet two = patientRow(age, requestDate, bloodType, QStringLiteral("NEW, PATIENT"));
        two.rows << patientRow(1, "1/1/2000", "B+", QStringLiteral("SECOND, ROW")).rows;
        ProcedureDefSwap swap(two);
        m_windows.calls.clear();
        const Caught e = caught([&] { m_entry->Show_ResultEntry(QStringLiteral("R1")); });
        QCOMPARE(e.number, error);
        if (error) {
            QCOMPARE(session().Request.PatientName, before);
            QCOMPARE(session().Request.BloodType, QStringLiteral("O+"));
            QVERIFY(m_windows.calls.isEmpty());
        } else {
            QCOMPARE(session().Request.PatientName, QStringLiteral("NEW, PATIENT"));
            QCOMPARE(session().Request.Age, QStringLiteral("7"));
            QCOMPARE(session().Request.Ward, QStringLiteral("ward"));
        }
    }

    void oneObjectAtATimeOnAThread()
    {
        const Caught e = caught(
            [] { CreateObjectAs<clsLISResultEntry>(QStringLiteral("Velquor.clsLISResultEntry")); });
        QCOMPARE(e.number, 3705);
        QVERIFY(session().LabDb->isOpen());
    }

    void creationFailsForAServerWithoutDriver()
    {
        m_entry.reset();
        SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Connection"),
                           QStringLiteral("Server"), QStringLiteral("SRV1"));
        const Caught e = caught([] { clsLISResultEntry entry; });
        QVERIFY(e.number < 0);
        QVERIFY2(e.description.contains(QStringLiteral("\"SRV1\"")), qPrintable(e.description));
        QVERIFY(!session().LabDb->isOpen());
        m_db->useForComponent();
        m_entry = std::make_unique<clsLISResultEntry>();
        QVERIFY(session().LabDb->isOpen());
    }

private:
    // Lets Lab_Get_PatientInformation answer with given rows for one test.
    struct ProcedureDefSwap {
        explicit ProcedureDefSwap(ResultSet rows)
            : saved(*ProcedureRegistry::find(QStringLiteral("Lab_Get_PatientInformation")))
        {
            ProcedureRegistry::add({saved.name, 1, 1, [rows](ProcedureContext&) { return rows; }});
        }
        ~ProcedureDefSwap() { ProcedureRegistry::add(saved); }
        ProcedureDef saved;
    };

    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<clsLISResultEntry> m_entry;
    ObservingFactory m_windows;
    ScriptedPresenter m_presenter;
};

QTEST_MAIN(TstComponentEntry)
#include "tst_component_entry.moc"
