#include "component/SavedResults.h"
#include "component/reports/ReportPrinting.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Caught.h"
#include "tests/support/Files.h"
#include "tests/support/WindowFixture.h"

#include <QComboBox>

namespace {
const QString kLab = QStringLiteral("LABORATORY");

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

void setPrinter(const QString& where)
{
    SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Laboratory"),
                       QStringLiteral("Printer"), where);
}

// The normal-values report of a request with both its subreports.
void openNvReport(const QString& request)
{
    OpenReportWithLogOn(reportFolder() + "/LabPrint_With_NormalValues.RPT", kLab,
                        {session().HeaderAddress, request});
    ConfigureSubreport("Conversion", kLab, {request});
    ConfigureSubreport("SI", kLab, {request});
}

// Steps of a request's history, as command texts a workstation sends at
// the clock's minute: "nv ITEM VALUE [reason]" saves a normal-value
// result as MT02, "cut ITEM VALUE [reason]" a cut-off one, "call ITEM"
// phones it to the doctor, "ack ITEM" acknowledges its delta, "verify WHO"
// verifies, "at H:MM" sets the clock, "print" prints its normal-values
// report.
void history(const QString& connection, const QString& req, const QStringList& steps)
{
    using CommandText::call;
    Connection db;
    db.open(connection);
    for (const QString& step : steps) {
        const QStringList w = step.split(' ');
        const QString reason = w.mid(3).join(' ');
        const QString now = DateText::general(Clock::now());
        const auto withReason = [&](QStringList args) {
            return reason.isEmpty() ? args : args << reason;
        };
        if (w[0] == "at") {
            Clock::pin(QDateTime(WindowFixture::day(), QTime::fromString(w[1], "H:mm")));
        } else if (w[0] == "nv") {
            db.execute(call(
                "Lab_FormMaker_SaveResultWithNormalValues2",
                withReason(QStringList{req, w[1], w[2]} + QStringList(11) +
                           QStringList{"1", "A-1", "", now, now, "", "MT02", "N", "AN-01", now})));
        } else if (w[0] == "cut") {
            // One transaction, as the window saves: the logbook names who saves.
            db.beginTrans();
            db.execute(
                call("Lab_ResultEntryDLL_SaveToLogbook", {req, "", "MT02", now, now, "A-1"}));
            db.execute(call("Lab_SaveWithCutOff", withReason({"A-1", now, now, req, w[1], "5", w[1],
                                                              w[2], "", "", "", "1"})));
            db.commitTrans();
        } else if (w[0] == "call") {
            db.execute(call("Lab_RecordCriticalCall",
                            {req, w[1], "Dr. Ramon Cruz", now, "MT02", "LAB-BENCH-2"}));
        } else if (w[0] == "ack") {
            db.execute(call("Lab_AcknowledgeDelta", {req, w[1], "MT01"}));
        } else if (w[0] == "verify") {
            db.execute(call("LAB_Save_VerifyResults", {req, w[1]}));
        } else if (w[0] == "print") {
            openNvReport(req);
            PrintOrPreview(false, QStringLiteral("Laboratory Result"), true, false);
        }
    }
}

// The engine's own text of a report: the page header, then the body.
QString reportText(const Report& r)
{
    const auto doc = r.render();
    return doc->property("pageHeader").toString() + '\n' + doc->toPlainText();
}

// The cut-off report of the session's request, as the window opens it.
void openCutOffReport()
{
    OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_WithCutOff.RPT"), kLab,
                        {session().HeaderAddress, session().RequestNum});
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
        s.DbServer = f.db->server();
        s.DbUser.clear();
        s.RequestNum = QStringLiteral("L-1006");
    }
    void cleanup()
    {
        session().CurrentReport.reset();
        f.tearDown();
    }

    void openingAndSubreports()
    {
        // Values go to the parameters by position, too few or too many.
        const std::pair<QVariantList, QStringList> cases[] = {
            {{}, {"", ""}},
            {{"Addr"}, {"Addr", ""}},
            {{"Addr", "L-1006", "extra"}, {"Addr", "L-1006"}}};
        for (const auto& [values, set] : cases) {
            OpenReportWithLogOn(fixture("TwoParameters.RPT"), kLab, values);
            QStringList got;
            for (const ReportParameter& p : session().CurrentReport->parameterFields())
                got << (p.currentValues.isEmpty() ? QString() : p.currentValues.first().toString());
            QCOMPARE(got, set);
        }
        Report& r = *session().CurrentReport;
        // Re-pointed from the first dot on, logged on with the session's values.
        QCOMPARE(
            (QStringList{r.tables()[1].location, r.tables()[0].server, r.tables()[0].database}),
            (QStringList{"LABORATORY.dbo.tbLabLogbook", f.db->server(), kLab}));
        // Subreports get their own values; data comes from where the tables point.
        ConfigureSubreport(QStringLiteral("Part"), kLab, {QStringLiteral("L-1006")});
        QCOMPARE(r.openSubreport(QStringLiteral("Part")).parameterFields()[0].currentValues,
                 QVariantList{"L-1006"});
        QCOMPARE(r.render()->toPlainText(), QStringLiteral("Addr|L-1006|REYES, ANA MAE"));
        QCOMPARE(caught([] { ConfigureSubreport(QStringLiteral("Nope"), kLab, {}); }).number, 9);

        // A location without a dot fails; what was configured until then stays.
        const auto failing = [](const QString& path) {
            return caught([&] { OpenReportWithLogOn(path, kLab, {}); }).number;
        };
        QCOMPARE(failing(fixture("Locations.RPT")), 5);
        const QList<ReportTable>& t = session().CurrentReport->tables();
        QCOMPARE(t[1].location + ' ' + t[2].location, QStringLiteral("LABORATORY.dbo.x.y nodot"));
        QCOMPARE(failing(QStringLiteral("/nowhere/x.RPT")), 53);
    }

    void directPrintsToAFolder()
    {
        QTemporaryDir out;
        setPrinter(out.path());
        f.db->exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, EmployeeCode, LoggedAt) "
                                  "VALUES ('L-1006', 'MT01', '2024-03-07 09:00:00')"));
        session().EmployeeCode = QStringLiteral("MT02");
        QVERIFY(VerifyRequestResults()); // once, whatever the logbook rows
        QCOMPARE(f.db->trace().filter(QStringLiteral("LAB_Save_VerifyResults")).size(), 1);
        openCutOffReport();
        PrintOrPreview(false, QStringLiteral("Laboratory Result"), true, false);
        QVERIFY(!session().CurrentReport);
        const QString pdf = out.filePath(QStringLiteral("L-1006.pdf"));
        QCOMPARE(f.presenter.messageTexts(),
                 QStringList{"The result report of L-1006 was written to " + pdf + '.'});
        const QString text = pdfText(pdf);
        for (const char* expected :
             {"ST. MERCY GENERAL HOSPITAL", "1200 Harbour Road", "REYES, ANA MAE", "A-5005",
              "Hepatitis B surface", "0.35", "NON-REACTIVE", "EQUIVOCAL", "POSITIVE", "S/CO",
              "Donor unit 24-0871", "Joy Ramos, RMT", "Elena Villanueva, MD, FPSP"})
            QVERIFY2(text.contains(QLatin1String(expected)), expected);

        // The normal-values window prints its report with both subreports.
        f.open<frmNVDownloads>(QStringLiteral("L-1016"), [&](frmNVDownloads& w) {
            session().PrintRequested = true; // straight to the printer
            w.Print_Result();
        });
        const QString nv = pdfText(out.filePath(QStringLiteral("L-1016.pdf")));
        for (const char* expected :
             {"Results in SI units", "Results in conventional units", "Glucose (fasting)", "5.5",
              "mmol/L", "3.9 - 6.1", "99", "mg/dL", "70 - 110", "Uric acid"})
            QVERIFY2(nv.contains(QLatin1String(expected)), expected);

        // A printer that is not there is an error, and nothing is lost.
        setPrinter(QStringLiteral("NoSuchPrinter"));
        openCutOffReport();
        const Caught e =
            caught([] { PrintOrPreview(false, QStringLiteral("Laboratory Result"), true, false); });
        QVERIFY2(e.description.contains(QStringLiteral("\"NoSuchPrinter\" is not available")),
                 qPrintable(e.description));
    }

    // A report over several pages names the patient, the request and the page
    // on each, and splits no row between two pages.
    void longReportsKeepIdentityAndRowsWhole()
    {
        QStringList steps;
        for (int i = 1; i <= 45; ++i) {
            const QString id = QStringLiteral("X%1").arg(i, 2, 10, QLatin1Char('0'));
            f.db->exec(QStringLiteral("INSERT INTO tbLabExamItem (ItemID, ExamName, SIUnit, "
                                      "SIMin, SIMax) VALUES ('%1', 'Analyte %1 with a long "
                                      "descriptive name that wraps onto a second line of "
                                      "its cell', 'mmol/L', 1, 9)")
                           .arg(id));
            f.db->exec(QStringLiteral("INSERT INTO tbLabExamFormat (Code, ItemID, SortOrder) "
                                      "VALUES ('CHEM6', '%1', %2)")
                           .arg(id)
                           .arg(10 + i));
            steps << QStringLiteral("nv %1 %2").arg(id).arg(100 + i);
        }
        history(f.db->connectionString(), "L-1016", steps);
        openNvReport("L-1016");
        QTemporaryDir out;
        const QString pdf = out.filePath(QStringLiteral("long.pdf"));
        session().CurrentReport->printOut(pdf, QStringLiteral("long"));
        const QStringList pages = pdfText(pdf).split(QLatin1Char('\f'), Qt::SkipEmptyParts);
        QVERIFY2(pages.size() >= 4, qPrintable(QString::number(pages.size())));
        static const QRegularExpression wrapped(
            QStringLiteral("second line\\s*\\n\\s*of its cell"));
        qsizetype rows = 0;
        for (int p = 0; p < pages.size(); ++p) {
            const QString& page = pages[p];
            QVERIFY2(
                page.contains("REYES, ANA MAE") && page.contains("Request No. L-1016") &&
                    page.contains(QStringLiteral("Page %1 of %2").arg(p + 1).arg(pages.size())),
                qPrintable(page));
            QCOMPARE(page.count(QStringLiteral("Analyte X")), page.count(wrapped));
            rows += page.count(QStringLiteral("Analyte X"));
        }
        QCOMPARE(rows, 90);
    }

    // Each report as a pathologist signs it, against its golden text: who
    // entered, verified and when it was released; an amended report with its
    // reasons, what was reported before and the call it had; the range for
    // the patient's sex. LIS_UPDATE_GOLDEN=1 writes the texts anew.
    void reportsAsSigned_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("steps");
        const auto row = [](const char* name, const char* req, const QStringList& steps) {
            QTest::newRow(name) << QString::fromLatin1(req) << steps;
        };
        row("original", "L-1016", {"at 10:00", "verify MT01"});
        // Printed when verified and again once amended.
        row("amended, normal values", "L-1016",
            {"at 13:40", "nv GLU 28", "at 13:51", "call GLU", "ack GLU", "verify MT01", "print",
             "at 13:56", "nv GLU 6.0 Transcription error", "at 14:02", "verify MT01", "print"});
        row("amended twice", "L-1016",
            {"at 10:00", "verify MT01", "at 11:00", "nv CREA 120 Specimen problem", "verify MT01",
             "at 12:30", "nv CREA 101 Other: haemolysed, drawn again", "verify PATH01"});
        row("amended, cut-off", "L-1006",
            {"at 10:00", "verify MT01", "at 11:15", "cut HBSAG 2.50 Instrument error",
             "verify MT01"});
        row("NULL prints as a dash", "L-1006", {"cut HIV NULL"});
        // The range by sex and age is the laboratory's (tst_procedures); one
        // patient's shows it reaches the page.
        row("haemoglobin, male", "L-1009", {"nv HGB 125", "verify PATH01"});
    }
    void reportsAsSigned()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, steps);
        QTemporaryDir out;
        setPrinter(out.path());
        session().RequestNum = request;
        history(f.db->connectionString(), request, steps);
        if (steps.count("print") == 2) { // the amended print beside the first, which stays
            const QString amended = out.filePath(request + " (amended 1).pdf");
            QCOMPARE(f.presenter.messageTexts().last(),
                     "The result report of " + request + " was written to " + amended + '.');
            QVERIFY(pdfText(amended).contains(QStringLiteral("AMENDED REPORT")));
            QVERIFY(!pdfText(out.filePath(request + ".pdf")).contains(QStringLiteral("AMENDED")));
        }
        if (request == "L-1006")
            openCutOffReport();
        else
            openNvReport(request);
        const QString text = reportText(*session().CurrentReport);
        QString name = QString::fromLatin1(QTest::currentDataTag()).toLower();
        name.replace(QRegularExpression("[^a-z0-9]+"), "-");
        QFile golden(fixture("reports/") + name + ".txt");
        if (qEnvironmentVariableIsSet("LIS_UPDATE_GOLDEN")) {
            QVERIFY(golden.open(QIODevice::WriteOnly | QIODevice::Truncate));
            golden.write(text.toUtf8());
            return;
        }
        QCOMPARE(text, QString::fromUtf8(fileBytes(golden.fileName())));
    }

    // Correcting a verified result in the window asks why; the reason goes
    // with the save into the audit trail, and Cancel saves nothing.
    void aCorrectionAsksWhy_data()
    {
        QTest::addColumn<QString>("words");
        WindowFixture::row("other, with words", QStringLiteral("drawn above the drip"));
        WindowFixture::row("cancelled", QString());
    }
    void aCorrectionAsksWhy()
    {
        QFETCH(QString, words);
        f.withoutPotassium();
        history(f.db->connectionString(), "L-1016", {"verify MT01"});
        f.entry->EditMode(true);
        f.open<frmNVDownloads>(QStringLiteral("L-1016"), [&](frmNVDownloads& w) {
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(msfgRequest->TextMatrix(1, 1), QStringLiteral("GLU"));
            msfgRequest->setTextMatrix(1, 3, QStringLiteral("6.0"));
            msfgRequest->setTextMatrix(1, 8, QString());
            f.presenter.queueWindow([&](QWidget& dialog) {
                auto* cboReason = control<QComboBox>(dialog, "cboReason");
                auto* cmdOK = control<QPushButton>(dialog, "cmdOK");
                cboReason->setCurrentText(QStringLiteral("Other"));
                QVERIFY(!cmdOK->isEnabled()); // Other waits for the words
                control<QLineEdit>(dialog, "txtOther")->setText(words);
                (words.isEmpty() ? control<QPushButton>(dialog, "cmdCancel") : cmdOK)->click();
            });
            f.db->clearTrace();
            control<QPushButton>(w, "cmdSave")->click();
        });
        QCOMPARE(f.db->trace().filter("SaveResultWithNormalValues2").size(),
                 words.isEmpty() ? 0 : 6);
        QCOMPARE(f.db->query("SELECT Note FROM tbLabResultAudit WHERE ItemID = 'GLU' AND "
                             "Field = 'Result' AND NewValue = '6.0'")
                     .rows.value(0)
                     .value(0)
                     .toString(),
                 words.isEmpty() ? QString() : "Other: " + words);
    }

    // The window flags a result as the report does, by the patient's range.
    void windowFlagsAsTheReport()
    {
        f.db->exec("INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, Code, RequestDate) "
                   "VALUES ('L-2001', 'R-1', 'H-0005', 'CBC', '2024-03-07 08:00:00')");
        for (auto [req, shown] :
             {std::pair{"L-1009", "L / L|130 - 180"}, {"L-2001", "|120 - 160"}}) {
            history(f.db->connectionString(), req, {"nv HGB 125"});
            f.open<frmNVDownloads>(req, [&](frmNVDownloads& w) {
                auto* g = control<FlexGrid>(w, "msfgRequest");
                QCOMPARE(g->TextMatrix(1, col(NvCol::Flag)) + '|' + g->TextMatrix(1, 4), shown);
            });
        }
    }

    void viewerWithAndWithoutVerification_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("logbook");
        WindowFixture::row("plain preview, Escape", QStringLiteral("escape"), true);
        WindowFixture::row("verify", QStringLiteral("verify"), true);
        WindowFixture::row("verify without logbook stays", QStringLiteral("verify"), false);
        WindowFixture::row("verify and print", QStringLiteral("print"), true);
        WindowFixture::row("edit", QStringLiteral("edit"), true);
    }
    void viewerWithAndWithoutVerification()
    {
        QFETCH(QString, action);
        QFETCH(bool, logbook);
        const bool offered = action != QLatin1String("escape");
        const bool print = action == QLatin1String("print");
        if (!logbook)
            f.db->exec(QStringLiteral("DELETE FROM tbLabLogbook WHERE RequestNum = 'L-1006'"));
        openCutOffReport();
        bool stayedOpen = false;
        f.presenter.queueWindow([&](QWidget& w) {
            auto* cmdVerify = control<QPushButton>(w, "cmdVerify");
            QCOMPARE(cmdVerify->isVisible(), offered);
            if (action == QLatin1String("escape"))
                QTest::keyClick(&w, Qt::Key_Escape);
            else if (action == QLatin1String("edit"))
                control<QPushButton>(w, "cmdEdit")->click();
            else
                (print ? control<QPushButton>(w, "cmdPrint") : cmdVerify)->click();
            stayedOpen = w.isVisible();
        });
        session().EmployeeCode = QStringLiteral("MT02");
        PrintOrPreview(false, QStringLiteral("Laboratory Result"), false, offered);
        const bool verify = action == QLatin1String("verify");
        QCOMPARE((QList<bool>{stayedOpen, session().ReportVerified, session().PrintRequested}),
                 (QList<bool>{verify && !logbook, logbook && (print || verify), print}));
        QVERIFY(!session().CurrentReport);
    }

    void reportKindByFormat()
    {
        OpenReportWithLogOn(fixture("TwoParameters.RPT"), kLab, {});
        f.open<frmDownloaded>(QStringLiteral("L-1001"), [&](frmDownloaded& w) {
            // Form type, value type, report file, its last parameter. The kind
            // follows FormType and ValueType exactly. W has no report format:
            // it says so, and the report opened before is not shown.
            const char* const kinds[][4] = {{"W", "", nullptr, nullptr},
                                            {"P", "5", "/LabPrint_WithCutOff.RPT", "L-1001"},
                                            {"P", "D", "/LabPrint_ShortFormWIthRemark.RPT", "2"},
                                            {"D", "", "/LabPrint_ShortFormWIthRemark.RPT", "2"}};
            for (const auto& k : kinds) {
                session().Request.FormType = QLatin1String(k[0]);
                session().Request.ValueType = QLatin1String(k[1]);
                session().EntryMode = 2;
                if (k[2])
                    f.presenter.queueWindow([&](QWidget&) {
                        Report& r = *session().CurrentReport;
                        QVERIFY(r.path().endsWith(QLatin1String(k[2])));
                        QCOMPARE(r.parameterFields().last().currentValues,
                                 QVariantList{QString::fromLatin1(k[3])});
                    });
                w.Print_Result();
            }
            QCOMPARE(f.presenter.messages().size(), 1);
            QVERIFY(f.presenter.messageTexts().first().contains(QStringLiteral("no report")));
            QCOMPARE(f.presenter.windowsShown().count(QStringLiteral("frmReportViewer")), 3);
        });
    }

private:
    WindowFixture f;
};

QTEST_MAIN(TstReports)
#include "tst_reports.moc"
