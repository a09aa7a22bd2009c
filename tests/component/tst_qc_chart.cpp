#include "component/modMain.h"
#include "component/reports/QcChart.h"
#include "component/reports/ReportPrinting.h"
#include "host/QcChartCommand.h"
#include "platform/Clock.h"
#include "platform/ScriptedPresenter.h"
#include "platform/db/Connection.h"
#include "platform/report/Report.h"
#include "tests/support/Caught.h"
#include "tests/support/Files.h"

#include <QTextDocument>
#include <QtTest>

// The Levey-Jennings chart from rows the laboratory would hand over: what
// it lays out, the tool that writes it and the preview that shows it.
namespace {
ResultSet served;     // what the fake laboratory answers sp_QCChartData with
QStringList commands; // what it was sent

struct FakeLab : DbSession {
    ResultSet run(const QString& text) override
    {
        commands << text;
        if (text.contains(QLatin1String("'AN-99'")))
            throw LisError(ErrNo::DbCommandFailed, QStringLiteral("There is no instrument AN-99."));
        return served;
    }
    void beginTransaction() override {}
    void commitTransaction() override {}
    void rollbackTransaction() override {}
};

struct FakeLabDriver : DbDriver {
    QString name() const override { return QStringLiteral("qc chart rows"); }
    bool accepts(const ConnectionString& cs) const override
    {
        return cs.dataSource() == QLatin1String("QCROWS");
    }
    std::unique_ptr<DbSession> connect(const ConnectionString&) override
    {
        return std::make_unique<FakeLab>();
    }
};

// A control lot's runs as sp_QCChartData hands them over, each run given as
// "when|value" or "when|value|rules|verdict"; the z-score is worked out from
// the lot's target.
QList<QVariantList> runs(int level, const char* lotNo, double mean, double sd,
                         const QStringList& given)
{
    const QString unit = level == 3 ? QStringLiteral("mmol/L") : QStringLiteral("mg/dL");
    QList<QVariantList> rows;
    for (const QString& run : given) {
        const QStringList f = run.split(u'|');
        rows << (QVariantList{level, lotNo, QStringLiteral("Control L%1").arg(level), mean, sd}
                 << unit << f[0] << f[1] << (f[1].toDouble() - mean) / sd << f.value(2)
                 << f.value(3, QStringLiteral("accepted")) << QStringLiteral("Glucose"));
    }
    return rows;
}

ResultSet rowsOf(const QList<QVariantList>& rows)
{
    return {{"Level", "LotNo", "Material", "TargetMean", "TargetSD", "Unit", "MeasuredAt", "Value",
             "ZScore", "Rules", "Verdict", "ItemName"},
            rows};
}

const QList<QVariantList> kTwoLevels =
    runs(1, "A1", 100, 2,
         {"11/10/2026 8:00 AM|99", "11/15/2026 8:00 AM|101", "11/20/2026 8:00 AM|100",
          "11/25/2026 8:00 AM|102", "11/30/2026 8:00 AM|98", "12/1/2026 8:00 AM|104.2|1-2s|warning",
          "12/7/2026 9:40 AM|104.6|2-2s|rejected"}) +
    runs(2, "B1", 250, 5,
         {"11/10/2026 8:00 AM|251", "11/15/2026 8:00 AM|248", "11/20/2026 8:00 AM|252.5",
          "11/25/2026 8:00 AM|249", "11/30/2026 8:00 AM|250",
          "12/7/2026 9:40 AM|261.5|2-2s|rejected"});
} // namespace

class TstQcChart : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        DriverRegistry::add(std::make_shared<FakeLabDriver>());
        Clock::pin(QDateTime(QDate(2026, 12, 7), QTime(10, 0)));
    }

    void init()
    {
        served = rowsOf(kTwoLevels);
        commands.clear();
    }

    // Rows in, the text the report engine lays out: each lot's statistics
    // (decimal, the SD with n - 1, rejected runs left out), the rule marks,
    // one panel per level there is.
    void laysOutLevelsLotsAndMarks_data()
    {
        QTest::addColumn<QList<QVariantList>>("rows");
        QTest::addColumn<QStringList>("shown"); // "!": nowhere in it
        QTest::newRow("two levels, today's run rejected by 2-2s")
            << kTwoLevels
            << QStringList{"Levey-Jennings chart",
                           "AN-01, Glucose (GLU), 11/07/2026 to 12/07/2026",
                           "Level 1: Control L1",
                           "A1|100|2|mg/dL|7|1|100.70|2.22|2.2",
                           "12/01/2026 08:00 AM|A1|104.2|+2.10|warning|1-2s",
                           "12/07/2026 09:40 AM|A1|104.6|+2.30|rejected|2-2s",
                           "Level 2: Control L2",
                           "B1|250|5|mg/dL|6|1|250.10|1.75|0.7",
                           "12/07/2026 09:40 AM|B1|261.5|+2.30|rejected|2-2s",
                           "!Level 3",
                           "!No warnings or rejections."};
        // 1.175 is 1.17499... in binary; the mean prints 1.18 all the same.
        QTest::newRow("one level, a tie rounded away from zero, off the scale")
            << runs(3, "K1", 1.2, 0.05,
                    {"11/20/2026 8:00 AM|1.1", "11/21/2026 8:00 AM|1.2", "11/22/2026 8:00 AM|1.2",
                     "11/23/2026 8:00 AM|1.2", "11/24/2026 8:00 AM|1.5|1-3s|rejected"})
            << QStringList{"Level 3: Control L3", "K1|1.2|0.05|mmol/L|5|1|1.18|0.05|4.3",
                           "11/24/2026 08:00 AM|K1|1.5|+6.00|rejected|1-3s", "!Level 1",
                           "!Level 2"};
        QTest::newRow("a new lot within the period, two rules at once")
            << runs(1, "A1", 100, 2, {"11/10/2026 8:00 AM|99", "11/11/2026 8:00 AM|101"}) +
                   runs(1, "A2", 110, 3,
                        {"11/20/2026 8:00 AM|109", "11/21/2026 8:00 AM|112",
                         "11/22/2026 8:00 AM|117.2|1-2s,R-4s|rejected"})
            << QStringList{"A1|100|2|mg/dL|2|0|100.0|1.4|1.4", "A2|110|3|mg/dL|3|1|110.5|2.1|1.9",
                           "11/22/2026 08:00 AM|A2|117.2|+2.40|rejected|1-2s, R-4s", "!Level 2",
                           "!No warnings or rejections."};
        QTest::newRow("one run: a mean, no SD")
            << runs(2, "B1", 250, 5, {"11/10/2026 8:00 AM|251"})
            << QStringList{"B1|250|5|mg/dL|1|0|251.0||", "No warnings or rejections."};
        QTest::newRow("an empty range")
            << QList<QVariantList>{}
            << QStringList{"AN-01, GLU, 11/07/2026 to 12/07/2026",
                           "No control results of GLU on AN-01 from 11/07/2026 to 12/07/2026.",
                           "!Level 1", "!SD index"};
    }
    void laysOutLevelsLotsAndMarks()
    {
        QFETCH(QList<QVariantList>, rows);
        QFETCH(QStringList, shown);
        QcChart chart(QStringLiteral("AN-01"), QStringLiteral("GLU"));
        chart.setRows(rowsOf(rows));
        // Markdown: each table row as |cell|cell|, the padding taken out.
        const QString text = chart.document()->toMarkdown().replace(
            QRegularExpression(QStringLiteral(" *\\| *")), QStringLiteral("|"));
        for (const QString& s : shown)
            QVERIFY2(text.contains(s.mid(s.startsWith(u'!'))) != s.startsWith(u'!'),
                     qPrintable(s + QStringLiteral("\nin\n") + text));
    }

    // The tool's command line, the laboratory's answers and the file rule.
    void toolEntry_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // in the LisError, or in what is said
        QTest::addColumn<int>("status");    // 1: nothing in the range
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("existing"); // a file of someone else's, kept
        const QString period =
            QStringLiteral("sp_QCChartData 'AN-01', 'GLU', '11/07/2026', '12/07/2026'");
        const auto row = [](const char* name, QStringList args, const char* error, int status,
                            const QString& command = {}, const char* existing = "") {
            QTest::newRow(name) << args << QString::fromUtf8(error) << status << command
                                << QString::fromUtf8(existing);
        };
        // What is there is kept, the chart written beside it.
        row("the last 30 days, a PDF there", {"AN-01", "GLU", "@/out.pdf"},
            "The Levey-Jennings chart of AN-01, Glucose (GLU), 11/07/2026 to 12/07/2026 was "
            "written to @/out (copy 1).pdf.",
            0, period, "out.pdf");
        row("days either way, a PNG there",
            {"--from", "2026-12-01", "AN-01", "GLU", "@/o.png", "--to", "12/05/2026"},
            "written to @/o (copy 1).png.", 0,
            "sp_QCChartData 'AN-01', 'GLU', '12/01/2026', '12/05/2026'", "o.png");
        row("a quote in a name", {"AN'01", "GLU", "@/q.png"}, "written to @/q.png.", 0,
            "sp_QCChartData 'AN''01', 'GLU', '11/07/2026', '12/07/2026'");
        row("nothing in the range", {"AN-01", "GLU", "@/none.pdf"},
            "No control results of GLU on AN-01 from 11/07/2026 to 12/07/2026: no chart was "
            "written.",
            1, period);
        row("unknown instrument", {"AN-99", "GLU", "@/x.pdf"}, "There is no instrument AN-99.", -1,
            "sp_QCChartData 'AN-99', 'GLU', '11/07/2026', '12/07/2026'");
        row("a folder that is not there", {"AN-01", "GLU", "@/missing/x.png"},
            "The chart could not be written to @/missing/x.png: the file cannot be created there.",
            -1, period);
        row("no file", {"AN-01", "GLU"},
            "qc chart takes INSTRUMENT ITEM [--from DATE] [--to DATE] FILE.pdf|FILE.png", -1);
        row("another suffix", {"AN-01", "GLU", "out.svg"},
            "the chart is written as a PDF or PNG file: out.svg ends in neither .pdf nor .png", -1);
        row("no day", {"AN-01", "GLU", "out.pdf", "--to"}, "--to needs a day", -1);
        row("not a day", {"AN-01", "GLU", "--from", "13/45/2026", "out.pdf"},
            "--from takes a day as MM/DD/YYYY or YYYY-MM-DD, not \"13/45/2026\"", -1);
        row("a period backwards", {"AN-01", "GLU", "--from", "12/08/2026", "out.pdf"},
            "the period starts on 12/08/2026, after its last day 12/07/2026", -1);
        row("unknown option", {"AN-01", "GLU", "--colour", "out.pdf"}, "unknown option --colour",
            -1);
    }
    void toolEntry()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QFETCH(int, status);
        QFETCH(QString, command);
        QFETCH(QString, existing);
        QTemporaryDir dir;
        for (QString& a : args)
            a.replace(QLatin1Char('@'), dir.path());
        error.replace(QLatin1Char('@'), dir.path());
        if (status == 1)
            served.rows.clear();
        QFile mine(dir.filePath(existing));
        QVERIFY(existing.isEmpty() || (mine.open(QIODevice::WriteOnly) && mine.write("mine")));
        mine.close();
        Connection db;
        db.open(QStringLiteral("Provider=X;Data Source=QCROWS"));
        QString said;
        QTextStream out(&said);
        int got = -1;
        const Caught e = caught([&] { got = runQcChart(args, out, &db); });
        QVERIFY2((e.number ? e.description : said).contains(error),
                 qPrintable(e.description + said));
        QCOMPARE(got, status);
        QCOMPARE(commands, command.isEmpty() ? QStringList() : QStringList{command});
        // Written only when it says so, owner-only, beside what was there.
        QStringList files = QDir(dir.path()).entryList(QDir::Files);
        files.removeOne(existing);
        QCOMPARE(files.size(), status == 0 ? 1 : 0);
        if (status == 0)
            QVERIFY(ownerOnly(dir.filePath(files.first())));
        QVERIFY(existing.isEmpty() || fileBytes(mine.fileName()) == "mine");
    }

    // From a result window: the chart in the report preview, whatever the
    // window had open there coming back after; an empty range is said.
    void preview()
    {
        static QString shown; // the caption, a blank line, the text
        struct Viewer : ReportViewer {
            void set_WithVerification(bool) override {}
            void set_ShowGroupTree(bool) override {}
            void setCaption(const QString& c) override { shown = c + "\n\n"; }
            void set_DirectPrint(bool) override {}
            void showModal() override { shown += session().CurrentReport->render()->toPlainText(); }
        };
        installReportViewer([] { return std::make_unique<Viewer>(); });
        ScriptedPresenter presenter;
        Presenter::install(&presenter);
        SessionState& s = session();
        s.LabDb = std::make_unique<Connection>();
        s.LabDb->open(QStringLiteral("Provider=X;Data Source=QCROWS"));
        s.PreviewedChangeNumbers = QStringLiteral("kept");
        QcChart::preview(QStringLiteral("AN-01"), QStringLiteral("GLU"));
        QVERIFY2(shown.startsWith("Levey-Jennings chart: AN-01, Glucose (GLU), 11/07/2026 to "
                                  "12/07/2026\n\n") &&
                     shown.contains("Level 2: Control L2"),
                 qPrintable(shown));
        QVERIFY(!s.CurrentReport && s.PreviewedChangeNumbers == QLatin1String("kept"));

        served.rows.clear();
        shown.clear();
        QcChart::preview(QStringLiteral("AN-01"), QStringLiteral("GLU"));
        QCOMPARE(presenter.messageTexts(),
                 QStringList{"No control results of GLU on AN-01 from 11/07/2026 to 12/07/2026."});
        QVERIFY(shown.isEmpty());
        Presenter::install(nullptr);
        s.LabDb.reset();
    }
};

QTEST_MAIN(TstQcChart)
#include "tst_qc_chart.moc"
