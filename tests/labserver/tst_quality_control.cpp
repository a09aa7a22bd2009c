// Quality control as the laboratory keeps it, on either engine: the demo's
// glucose run rejected at 9:40 AM holds L-1013's glucose (sample 103,
// measured at 9:50) on every path that verifies, until an accepted run, a
// corrective action and the technologist's review; the chart's data.
#include "tests/support/Caught.h"
#include "tests/support/DemoLab.h"
#include "tests/support/Rows.h"
#include "tests/support/SaveTexts.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// L-1013's glucose as the normal-values window saves it, verified or not.
QString save(const QString& verified)
{
    return NormalValueSave{.request = "L-1013",
                           .item = "GLU",
                           .si = "5.5",
                           .verified = verified,
                           .accession = "A-1013",
                           .reported = "3/7/2024 9:55:00 AM"}
        .text();
}
} // namespace

class TstQualityControl : public QObject {
    Q_OBJECT
private slots:
    void init() { m_lab = std::make_unique<DemoLab>(); }
    void cleanup() { m_lab.reset(); }

    // Each path that verifies, at each step of the hold: refused while held,
    // refused until reviewed once released, verified after the review.
    void aHeldResultIsVerifiedOnNoPathUntilReviewed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("window save with verify") << "window";
        QTest::newRow("preview verification") << "preview";
        QTest::newRow("command text alone") << "direct";
    }
    void aHeldResultIsVerifiedOnNoPathUntilReviewed()
    {
        QFETCH(QString, path);
        Connection& conn = m_lab->conn;
        conn.execute(save("N"));
        conn.execute("Lab_RecordResultEntry 'L-1013', 'GLU', 'MT02', 'I', 'AN-01', '103', 'WS-1'");
        const auto verify = [&] {
            // A refused commit leaves the window's transaction to roll back.
            const Caught c = caught([&] {
                if (path == "window")
                    conn.beginTrans();
                conn.execute(path == "preview" ? u"LAB_Save_VerifyResults 'L-1013', 'MT01'"_s
                                               : save("Y"));
                if (path == "window")
                    conn.commitTrans();
            });
            if (c.number != 0 && path == "window")
                conn.rollbackTrans();
            return c;
        };
        const auto verified = [&] {
            return m_lab->firstRow("SELECT Verified FROM tbLabResult WHERE RequestNum = 'L-1013' "
                                   "AND ItemID = 'GLU'");
        };
        const auto mark = [&] { return m_lab->rowOf("sp_QCHolds", "L-1013", {"QCHold"}); };
        const QString held = "QC rejected 9:40 AM: 2-2s, level 2";
        QCOMPARE(mark(), QStringList{held});

        Caught c = verify();
        QVERIFY2(c.description.contains("Glucose (fasting) on request L-1013 is held by quality "
                                        "control (" +
                                        held + "): the control run failed."),
                 qPrintable(c.description));
        QCOMPARE(verified(), QStringList{"N"});
        QVERIFY(caught([&] { conn.execute("sp_QCConfirm 'L-1013', 'GLU', 'MT01'"); }).number != 0);

        // Both levels at their means, then the action: released, waiting for review.
        conn.execute("sp_QCResultAdd 'AN-01', 'GLU', 'GL1-2611', '5.00', '3/7/2024 10:30:00 "
                     "AM', 'MT01'");
        conn.execute("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-2', '15.00', '3/7/2024 10:31:00 "
                     "AM', 'MT01'");
        QCOMPARE(verify().number == 0, false);
        conn.execute("sp_QCAction 'AN-01', 'GLU', 'recalibrated', 'MT01'");
        QCOMPARE(mark(), QStringList{held + " (released: review and confirm)"});
        c = verify();
        QVERIFY2(c.description.contains("was measured while quality control was rejected"),
                 qPrintable(c.description));

        conn.execute("sp_QCConfirm 'L-1013', 'GLU', 'MT01'");
        QCOMPARE(mark(), QStringList());
        QCOMPARE(verify().number, 0);
        QCOMPARE(verified(), QStringList{"Y"});
        QCOMPARE(textRows(m_lab->db.query(
                     "SELECT Field, ChangedBy FROM tbLabResultAudit WHERE RequestNum IN "
                     "('QC AN-01', 'L-1013') AND Field IN ('QC hold', 'QC accepted run', "
                     "'QC corrective action', 'QC hold released', 'QC review confirmed') "
                     "ORDER BY AuditID")),
                 (QStringList{"QC hold MT01", "QC accepted run MT01", "QC corrective action MT01",
                              "QC hold released MT01", "QC review confirmed MT01"}));
    }

    // What the chart reads, and what the laboratory refuses to judge.
    void theChartsDataAndRefusals()
    {
        auto rs = m_lab->conn.openRecordset("sp_QCChartData 'AN-01', 'GLU', '', ''");
        const ResultSet& all = rs->data();
        QCOMPARE(all.columns,
                 (QStringList{"Level", "LotNo", "Material", "TargetMean", "TargetSD", "Unit",
                              "MeasuredAt", "Value", "ZScore", "Rules", "Verdict", "ItemName"}));
        QCOMPARE(all.rows.size(), 64);
        QStringList last;
        for (const QVariant& v : all.rows.last())
            last << Recordset::toText(v);
        QCOMPARE(last, (QStringList{"2", "GL2-2611", "Chemistry control", "15", "0.4", "mmol/L",
                                    "3/7/2024 9:40:30 AM", "16.04", "2.6", "1-2s,2-2s", "rejected",
                                    "Glucose (fasting)"}));
        QCOMPARE(textRows(m_lab->db.query("SELECT Rules, Verdict FROM tbLabQCResult WHERE "
                                          "Verdict <> 'accepted' ORDER BY QCResultID")),
                 (QStringList{"1-2s warning", "1-2s,2-2s rejected", "1-2s,2-2s rejected"}));
        QCOMPARE(m_lab->conn
                     .openRecordset("sp_QCChartData 'AN-01', 'K', '01/01/2020', "
                                    "'01/31/2020'")
                     ->data()
                     .rows.size(),
                 0);
        // A lot without targets sets them from its first 20 results.
        m_lab->conn.execute("sp_QCLotAdd 'AN-01', 'K', 'New control', '2', 'K2-NEW', "
                            "'3/6/2025', '', '', 'mmol/L', '', 'MT01'");
        for (int i = 0; i < 20; ++i)
            m_lab->conn.execute(u"sp_QCResultAdd 'AN-01', 'K', 'K2-NEW', '%1', "
                                "'3/7/2024 %2:00:00 AM', 'MT01'"_s.arg(i % 2 ? "6.42" : "6.38")
                                    .arg(i % 12 + 1));
        QCOMPARE(m_lab->firstRow("SELECT TargetMean, TargetSD FROM tbLabQCLot WHERE LotNo = "
                                 "'K2-NEW'"),
                 (QStringList{"6.400", "0.021"}));
        m_lab->conn.execute("sp_QCLotAdd 'AN-01', 'K', 'Old control', '1', 'K1-OLD', "
                            "'3/6/2024', '3.5', '0.1', 'mmol/L', '', 'MT01'");
        const QStringList refusals[] = {
            {"sp_QCChartData 'AN-09', 'GLU', '', ''", "the instrument AN-09 is not"},
            {"sp_QCChartData 'AN-01', 'NOPE', '', ''", "the item NOPE is not"},
            {"sp_QCResultAdd 'AN-01', 'K', 'K1-OLD', '3.5', '', 'MT01'",
             "Lot K1-OLD (Old control, level 1) of K on AN-01 expired on 03/06/2024"},
            {"sp_QCResultAdd 'AN-01', 'K', 'K1-2611', 'high', '', 'MT01'", "is not a number"},
            {"sp_QCRules 'GLU', '1-3s,3-3s', 'MT01'", "3-3s is not a rule"},
        };
        for (const QStringList& r : refusals) {
            const Caught c = caught([&] { m_lab->conn.execute(r[0]); });
            QVERIFY2(c.description.contains(r[1]), qPrintable(r[0] + ": " + c.description));
        }
    }

private:
    std::unique_ptr<DemoLab> m_lab;
};

QTEST_GUILESS_MAIN(TstQualityControl)
#include "tst_quality_control.moc"
