#include "Caught.h"
#include "FlexGrid.h"
#include "ReportPrinting.h"
#include "SavedResults.h"
#include "Screenshot.h"
#include "WindowFixture.h"
#include "frmDownloaded.h"
#include "frmNVDownloads.h"
#include "frmReportViewer.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>

namespace {
QString pdfText(const QString& path)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

QString fixture(const char* name)
{
    return QStringLiteral(LIS_FIXTURE_DIR "/") + QLatin1String(name);
}
} // namespace

// The report routines, the three report files, printing and the viewer.
class TstReports : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp();
        SessionState& s = session();
        s.HeaderCompany = QStringLiteral("ST. MERCY GENERAL HOSPITAL");
        s.HeaderAddress = QStringLiteral("1200 Harbour Road, Port Town 4100");
        s.DbServer = f.db->folder();
        s.DbUser.clear();
        s.RequestNum = QStringLiteral("L-1006");
        s.CurrentReport.reset();
    }
    void cleanup()
    {
        session().CurrentReport.reset();
        f.tearDown();
    }

    void parametersByPosition_data()
    {
        QTest::addColumn<QVariantList>("values");
        QTest::addColumn<QStringList>("set");
        QTest::newRow("none") << QVariantList() << QStringList{"", ""};
        QTest::newRow("fewer") << QVariantList{"Addr"} << QStringList{"Addr", ""};
        QTest::newRow("more") << QVariantList{"Addr", "L-1006", "extra"}
                              << QStringList{"Addr", "L-1006"};
    }
    void parametersByPosition()
    {
        QFETCH(QVariantList, values);
        QFETCH(QStringList, set);
        OpenReportWithLogOn(fixture("TwoParameters.RPT"), QStringLiteral("LABORATORY"), values);
        Report& r = *session().CurrentReport;
        QStringList got;
        for (const ReportParameter& p : r.parameterFields())
            got << (p.currentValues.isEmpty() ? QString() : p.currentValues.first().toString());
        QCOMPARE(got, set);
        QCOMPARE(r.headerText(), QStringLiteral("ST. MERCY GENERAL HOSPITAL"));
        // Re-pointed from the first dot on, logged on with the session's values.
        QCOMPARE(r.tables()[0].location, QStringLiteral("LABORATORY.dbo.Lab_Report_Request"));
        QCOMPARE(r.tables()[1].location, QStringLiteral("LABORATORY.dbo.tbLabLogbook"));
        QCOMPARE(r.tables()[0].server, f.db->folder());
        QCOMPARE(r.tables()[0].database, QStringLiteral("LABORATORY"));
    }

    void locationsAndSubreports()
    {
        // Re-pointed from the first dot on; a location without a dot fails,
        // and the report holds what was configured until then.
        const Caught e = caught([] {
            OpenReportWithLogOn(fixture("Locations.RPT"), QStringLiteral("LABORATORY"), {});
        });
        QCOMPARE(e.number, 5);
        QList<ReportTable>& t = session().CurrentReport->tables();
        QCOMPARE(t[0].location, QStringLiteral("LABORATORY.dbo.Lab_Report_Request"));
        QCOMPARE(t[1].location, QStringLiteral("LABORATORY.dbo.x.y"));
        QCOMPARE(t[2].location, QStringLiteral("nodot"));

        // A second report replaces the first; subreports get their own values.
        OpenReportWithLogOn(fixture("TwoParameters.RPT"), QStringLiteral("LABORATORY"),
                            {QStringLiteral("Addr"), QStringLiteral("L-1006")});
        QVERIFY(session().CurrentReport->path().endsWith(QStringLiteral("TwoParameters.RPT")));
        ConfigureSubreport(QStringLiteral("Part"), QStringLiteral("LABORATORY"),
                           {QStringLiteral("L-1006")});
        QCOMPARE(session()
                     .CurrentReport->openSubreport(QStringLiteral("Part"))
                     .parameterFields()[0]
                     .currentValues,
                 QVariantList{"L-1006"});
        QCOMPARE(caught([] {
                     ConfigureSubreport(QStringLiteral("Nope"), QStringLiteral("LABORATORY"), {});
                 }).number,
                 9);
        // Data is read from the database the tables were pointed at.
        QCOMPARE(session().CurrentReport->render()->toPlainText(),
                 QStringLiteral("Addr|L-1006|REYES, ANA MAE"));
        QCOMPARE(caught([] {
                     OpenReportWithLogOn(QStringLiteral("/nowhere/x.RPT"),
                                         QStringLiteral("LABORATORY"), {});
                 }).number,
                 53);
    }

    void directPrintToAFolder()
    {
        QTemporaryDir out;
        SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Laboratory"),
                           QStringLiteral("Printer"), out.path());
        f.db->exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, EmployeeCode, LoggedAt) "
                                  "VALUES ('L-1006', 'MT01', '2024-03-07 09:00:00')"));
        session().EmployeeCode = QStringLiteral("MT02");
        QVERIFY(VerifyRequestResults());
        OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_WithCutOff.RPT"),
                            QStringLiteral("LABORATORY"),
                            {session().HeaderAddress, session().RequestNum});
        PrintOrPreview(false, QStringLiteral("Laboratory Result"), true, false);
        QVERIFY(!session().CurrentReport);
        const QString pdf = out.filePath(QStringLiteral("L-1006.pdf"));
        QVERIFY(QFile::exists(pdf));
        if (qEnvironmentVariableIsSet("LIS_SCREENSHOT_DIR")) // to look at
            QFile::copy(pdf, qEnvironmentVariable("LIS_SCREENSHOT_DIR") +
                                 QStringLiteral("/cut-off.pdf"));
        const QString text = pdfText(pdf);
        for (const char* expected :
             {"ST. MERCY GENERAL HOSPITAL", "1200 Harbour Road", "REYES, ANA MAE", "L-1006",
              "A-5005", "Hepatitis B surface", "0.35", "NON-REACTIVE", "EQUIVOCAL", "POSITIVE",
              "S/CO", "Donor unit 24-0871", "Joy Ramos, RMT", "Elena Villanueva, MD, FPSP",
              "Performed by"})
            QVERIFY2(text.contains(QLatin1String(expected)), expected);

        // A printer that is not there is an error, and nothing is lost.
        SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Laboratory"),
                           QStringLiteral("Printer"), QStringLiteral("NoSuchPrinter"));
        OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_WithCutOff.RPT"),
                            QStringLiteral("LABORATORY"), {});
        const Caught e =
            caught([] { PrintOrPreview(false, QStringLiteral("Laboratory Result"), true, false); });
        QVERIFY2(e.description.contains(QStringLiteral("\"NoSuchPrinter\" is not available")),
                 qPrintable(e.description));
    }

    void normalValuesReportWithItsSubreports()
    {
        QTemporaryDir out;
        session().RequestNum = QStringLiteral("L-1016");
        OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_With_NormalValues.RPT"),
                            QStringLiteral("LABORATORY"),
                            {session().HeaderAddress, session().RequestNum});
        ConfigureSubreport(QStringLiteral("Conversion"), QStringLiteral("LABORATORY"),
                           {session().RequestNum});
        ConfigureSubreport(QStringLiteral("SI"), QStringLiteral("LABORATORY"),
                           {session().RequestNum});
        const QString pdf = session().CurrentReport->printOut(
            out.filePath(QStringLiteral("nv.pdf")), QStringLiteral("L-1016"));
        const QString text = pdfText(pdf);
        for (const char* expected :
             {"Results in SI units", "Results in conventional units", "Glucose (fasting)", "5.5",
              "mmol/L", "3.9 - 6.1", "99", "mg/dL", "70 - 110"})
            QVERIFY2(text.contains(QLatin1String(expected)), expected);
    }

    void longTablesRepeatTheirHeaderOnEveryPage()
    {
        for (int i = 0; i < 150; ++i)
            f.db->exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, EmployeeCode, "
                                      "LoggedAt) VALUES ('L-1006', 'MT%1', '2024-03-07 10:00:00')")
                           .arg(i));
        QTemporaryDir out;
        OpenReportWithLogOn(fixture("LongTable.RPT"), QStringLiteral("LABORATORY"),
                            {QStringLiteral("L-1006")});
        const QString text = pdfText(session().CurrentReport->printOut(
            out.filePath(QStringLiteral("long.pdf")), QStringLiteral("long")));
        const QStringList pages = text.split(QLatin1Char('\f'), Qt::SkipEmptyParts);
        QVERIFY2(pages.size() >= 3, qPrintable(QString::number(pages.size())));
        for (int p = 0; p < pages.size(); ++p) {
            QVERIFY(pages[p].contains(QStringLiteral("Employee")));
            QVERIFY(pages[p].trimmed().endsWith(QString::number(p + 1)));
        }
    }

    void normalValuesWindowPrintsItsReport()
    {
        QTemporaryDir out;
        SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Laboratory"),
                           QStringLiteral("Printer"), out.path());
        f.open<frmNVDownloads>(QStringLiteral("L-1016"), [&](frmNVDownloads& w) {
            session().PrintRequested = true; // straight to the printer
            w.Print_Result();
        });
        const QString text = pdfText(out.filePath(QStringLiteral("L-1016.pdf")));
        QVERIFY(text.contains(QStringLiteral("Results in SI units")));
        QVERIFY(text.contains(QStringLiteral("Results in conventional units")));
        QVERIFY(text.contains(QStringLiteral("Uric acid")));
    }

    void viewerWithAndWithoutVerification_data()
    {
        QTest::addColumn<bool>("offered");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("logbook");
        QTest::addColumn<bool>("verified");
        QTest::addColumn<bool>("printRequested");
        QTest::newRow("plain preview, Escape") << false << "escape" << true << false << false;
        QTest::newRow("verify") << true << "verify" << true << true << false;
        QTest::newRow("verify without logbook stays")
            << true << "verify" << false << false << false;
        QTest::newRow("verify and print") << true << "print" << true << true << true;
        QTest::newRow("edit") << true << "edit" << true << false << false;
    }
    void viewerWithAndWithoutVerification()
    {
        QFETCH(bool, offered);
        QFETCH(QString, action);
        QFETCH(bool, logbook);
        QFETCH(bool, verified);
        QFETCH(bool, printRequested);
        if (!logbook)
            f.db->exec(QStringLiteral("DELETE FROM tbLabLogbook WHERE RequestNum = 'L-1006'"));
        OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_WithCutOff.RPT"),
                            QStringLiteral("LABORATORY"),
                            {session().HeaderAddress, session().RequestNum});
        bool stayedOpen = false;
        f.presenter.queueWindow([&](QWidget& w) {
            auto& viewer = static_cast<frmReportViewer&>(w);
            QCOMPARE(viewer.windowTitle(), QStringLiteral("Laboratory Result"));
            QCOMPARE(viewer.cmdVerify->isVisible(), offered);
            QCOMPARE(viewer.cmdPrint->text(), QStringLiteral("Verify/Save/ &Print"));
            QVERIFY(!viewer.fmeFax->isVisible());
            screenshot(viewer, QStringLiteral("viewer-") + action);
            if (action == QLatin1String("escape"))
                QTest::keyClick(&viewer, Qt::Key_Escape);
            else if (action == QLatin1String("edit"))
                viewer.cmdEdit->click();
            else
                (action == QLatin1String("print") ? viewer.cmdPrint : viewer.cmdVerify)->click();
            stayedOpen = viewer.isVisible();
        });
        session().EmployeeCode = QStringLiteral("MT02");
        PrintOrPreview(false, QStringLiteral("Laboratory Result"), false, offered);
        QCOMPARE(stayedOpen, action == QLatin1String("verify") && !logbook);
        QCOMPARE(session().ReportVerified, verified);
        QCOMPARE(session().PrintRequested, printRequested);
        QVERIFY(!session().CurrentReport);
    }

    void reportKindByFormat()
    {
        // W has no report format: nothing of an earlier request is shown.
        OpenReportWithLogOn(fixture("TwoParameters.RPT"), QStringLiteral("LABORATORY"), {});
        f.open<frmDownloaded>(QStringLiteral("L-1005"), [&](frmDownloaded& w) {
            w.Print_Result();
            QCOMPARE(f.presenter.messages().size(), 1);
            QVERIFY(!session().CurrentReport);
            QCOMPARE(f.presenter.windowsShown().size(), 1); // no viewer
        });
        // The kind follows FormType and ValueType exactly.
        f.open<frmDownloaded>(QStringLiteral("L-1001"), [&](frmDownloaded& w) {
            struct Kind {
                const char* form;
                const char* value;
                const char* file;
                QVariant last;
            };
            for (const Kind& k : {Kind{"P", "5", "/LabPrint_WithCutOff.RPT", "L-1001"},
                                  Kind{"P", "D", "/LabPrint_ShortFormWIthRemark.RPT", "2"},
                                  Kind{"D", "", "/LabPrint_ShortFormWIthRemark.RPT", "2"}}) {
                session().Request.FormType = QLatin1String(k.form);
                session().Request.ValueType = QLatin1String(k.value);
                session().EntryMode = 2;
                f.presenter.queueWindow([&](QWidget&) {
                    Report& r = *session().CurrentReport;
                    QVERIFY(r.path().endsWith(QLatin1String(k.file)));
                    QCOMPARE(r.parameterFields().last().currentValues, QVariantList{k.last});
                });
                w.Print_Result();
            }
        });
        // 5 opens the cut-off report with two values.
        f.open<frmDownloaded>(QStringLiteral("L-1001"), [&](frmDownloaded& w) {
            f.presenter.queueWindow([&](QWidget&) {
                Report& r = *session().CurrentReport;
                QVERIFY(r.path().endsWith(QStringLiteral("/LabPrint_WithCutOff.RPT")));
                QCOMPARE(r.parameterFields()[1].currentValues, QVariantList{"L-1001"});
            });
            w.Print_Result();
            QCOMPARE(f.presenter.windowsShown().last(), QStringLiteral("frmReportViewer"));
        });
    }

private:
    WindowFixture f;
};

QTEST_MAIN(TstReports)
#include "tst_reports.moc"
