// The laboratory's rules on every result it stores, whatever sends the
// command text: value forms, flags in each unit system, the
// audit it writes itself, and saves from a window opened before another
// workstation's change.
#include "labserver/LabStore.h"
#include "tests/support/Caught.h"
#include "tests/support/DemoLab.h"
#include "tests/support/Rows.h"
#include "tests/support/SaveTexts.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TstResultRules : public QObject {
    Q_OBJECT
private slots:
    void init() { m_lab = std::make_unique<DemoLab>(); }
    void cleanup() { m_lab.reset(); }

    // What the laboratory stores, hands back and prints of a value, or how
    // it refuses it: the conventional result follows the SI one (one without
    // an SI number stays as saved), the flag of each unit system's table from
    // its own value and range, a censored value by its bound, the edges of
    // the critical limits.
    void valuesAreJudgedOnce_data()
    {
        // item, SI value, its flag, conventional result, its flag[, the
        // conventional result and factor as the window hands them]; or
        // item, value, refusal
        QTest::addColumn<QStringList>("r");
        const auto row = [](const char* name, const QStringList& r) { QTest::newRow(name) << r; };
        row("below critical", {"GLU", "2.4", "LL", "43", "LL"});
        row("at critical low", {"GLU", "2.5", "L", "45", "L"});
        row("at lower limit", {"GLU", "3.9", "", "70", ""});
        row("at critical high", {"GLU", "25", "H", "450", "H"});
        row("above critical", {"GLU", "25.1", "HH", "452", "HH"});
        row("censored low", {"GLU", "<0.5", "LL", "<9", "LL"});
        row("censored high", {"GLU", ">1000", "HH", ">18016", "HH"});
        row("censored undecided", {"CREA", "<200", "", "<2.26", ""});
        row("conventional rounds over", {"URIC", "420", "", "7.1", "H"});
        row("conventional rounds onto", {"URIC", "148", "L", "2.5", ""});
        row("corrected SI, old conventional", {"GLU", "11.0", "H", "198", "H", "99", "18.016"});
        row("no factor handed: the item's", {"GLU", "5.5", "", "99", "", "", ""});
        row("the factor saved with it",
            {"GLU", "24.9", "H", "448", "H", "126.5", "18"}); // 449 by the item's
        row("no SI number: as saved, never converted again",
            {"GLU", "", "", "99", "", "99", "18.016"});
        row("no SI number, conventional high", {"GLU", "", "", "250", "H", "250", ""});
        row("comma", {"GLU", "12,4", "Use a point: 12.4"});
        row("exponent", {"GLU", "1e3", "Write it out: 1000"});
        row("word", {"GLU", "abc", "Use a number with a point"});
        row("below zero", {"CREA", "-5", "below zero"});
    }
    void valuesAreJudgedOnce()
    {
        QFETCH(QStringList, r);
        const auto stored = [&] {
            return tableValue(u"SELECT SIResult FROM tbLabResult WHERE RequestNum = "
                              "'L-1016' AND ItemID = '%1'"_s.arg(r[0]));
        };
        const QString before = stored();
        const Caught failed = caught([&] {
            m_lab->conn.execute(NormalValueSave{.item = r[0],
                                                .si = r[1],
                                                .conventional = r.value(5),
                                                .factor = r.value(6),
                                                .siNormal = "x",
                                                .conventionalNormal = "y"}
                                    .text());
        });
        if (r.size() == 3) {
            QVERIFY2(failed.description.contains(r[2]), qPrintable(failed.description));
            QCOMPARE(stored(), before);
            return;
        }
        QCOMPARE(failed.number, 0);
        // As reopened (with the window's normal values, and the factor it
        // handed, else the item's, as saved), and as printed.
        QStringList columns{"sResult", "CResult"};
        QStringList expected{r[1], r[3]};
        if (r.size() > 5) {
            columns << "sNValues"
                    << "cNValues"
                    << "Factor";
            expected << "x"
                     << "y" << (r[6].isEmpty() ? u"18.016"_s : r[6]);
        }
        QCOMPARE(m_lab->rowOf("Lab_FormMaker_GetResult_ReagentValues", u"L-1016"_s, columns, r[0],
                              "ExamCode") +
                     reportRow("Lab_Report_SIUnits", r[0]) +
                     reportRow("Lab_Report_ConventionalUnits", r[0]),
                 (expected + QStringList{r[1], r[2], r[3], r[4]}));
    }

    // The laboratory writes the audit itself, whatever made the change, and
    // a row changed or removed later breaks the chain from there on.
    void everyChangeIsAudited()
    {
        // As the cut-off window saves: its save names no employee, the
        // check it begins with does.
        m_lab->conn.beginTrans();
        m_lab->conn.execute(u"Lab_CheckUnchanged 'L-1001', 'ANTIHBS:0', 'MT02'"_s);
        m_lab->conn.execute(CutOffSave{.item = "ANTIHBS",
                                       .value = "50",
                                       .cutOff = "10",
                                       .examName = "Anti-HBs",
                                       .remarks = "",
                                       .row = "2"}
                                .text());
        m_lab->conn.commitTrans();
        const QStringList trail = auditOf("L-1001", "ANTIHBS");
        QVERIFY2(trail.contains("Result||50|MT02|") &&
                     trail.contains("Interpretation||POSITIVE|MT02|") &&
                     trail.contains("Entered by||MT02 (typed)|MT02|"),
                 qPrintable(trail.join('\n')));

        // A change outside the procedures is recorded as such.
        m_lab->db.store().begin();
        m_lab->db.store().exec(u"UPDATE tbLabResult SET SIResult = '6.0' WHERE "
                               "RequestNum = 'L-1016' AND ItemID = 'GLU'"_s);
        m_lab->db.store().commit();
        const QString outside =
            tableValue(u"SELECT Note FROM tbLabResultAudit WHERE RequestNum = 'L-1016' AND Field = "
                       "'Result' ORDER BY AuditID DESC LIMIT 1"_s);
        QCOMPARE(outside, u"made outside the laboratory's procedures"_s);

        QCOMPARE(chain(), u"0"_s);
        const QString second =
            tableValue(u"SELECT AuditID FROM tbLabResultAudit ORDER BY AuditID LIMIT 1 OFFSET 1"_s);
        if (TestDatabase::engine() == Engine::SQLite) {
            m_lab->db.store().exec(u"DROP TRIGGER trAuditNoChange"_s);
            m_lab->db.store().exec(
                u"UPDATE tbLabResultAudit SET NewValue = 'x' WHERE AuditID = %1"_s.arg(second));
            QCOMPARE(chain(), second);
        }
    }

    // A window opened before another workstation's change cannot write its
    // stale rows over it: the laboratory refuses the whole save and says
    // who changed what.
    void staleWindowsAreRefused()
    {
        const auto changeNumbers = [&] {
            const auto rs = m_lab->conn.openRecordset(u"Lab_GetResultChangeNumbers 'L-1016'"_s);
            return textRows(rs->data(), u':').join(u';');
        };
        const QString read = changeNumbers();
        Connection other;
        other.open(m_lab->db.connectionString());
        other.execute(NormalValueSave{.item = "GLU", .si = "6.0"}.text());

        m_lab->conn.beginTrans();
        const Caught c = caught(
            [&] { m_lab->conn.execute(u"Lab_CheckUnchanged 'L-1016', '%1', 'MT01'"_s.arg(read)); });
        m_lab->conn.rollbackTrans();
        QVERIFY2(
            c.description.startsWith("Glucose (fasting) was changed to 6.0 by MT02 at 3:00 PM") &&
                c.description.endsWith("Reopen L-1016 to see the current results."),
            qPrintable(c.description));
        // Read again, the same numbers pass.
        m_lab->conn.execute(u"Lab_CheckUnchanged 'L-1016', '%1'"_s.arg(changeNumbers()));

        // The same for an instrument's sample: read unposted, then posted to
        // another request by the other workstation, it is not taken over;
        // read where it stands, it is.
        const QString sample =
            u"Lab_CheckUnchanged 'L-1001', '', 'MT01', '101', 'AN-01', '03/07/2024', '%1'"_s;
        m_lab->conn.execute(sample.arg(QString()));
        other.execute(u"LABORATORY..Lab_UpdateDLHemaResult '2','101','L-1002',"
                      "'MT02','03/07/2024','AN-01'"_s);
        const Caught posted = caught([&] { m_lab->conn.execute(sample.arg(QString())); });
        QCOMPARE(posted.description, u"Sample 101 was posted to L-1002 by MT02 at "
                                     "3:00 PM after this window opened. Nothing "
                                     "was saved. Reopen L-1001 to see the "
                                     "current results."_s);
        m_lab->conn.execute(sample.arg(u"l-1002"_s));
    }

private:
    QString tableValue(const QString& sql) { return m_lab->firstRow(sql).value(0); }
    QStringList reportRow(const char* procedure, const QString& item)
    {
        return m_lab->rowOf(
            procedure, u"L-1016"_s, {u"Result"_s, u"Flag"_s},
            tableValue(u"SELECT ExamName FROM tbLabExamItem WHERE ItemID = '%1'"_s.arg(item)));
    }
    QStringList auditOf(const QString& req, const QString& item)
    {
        return textRows(
            m_lab->db.store().query(u"SELECT Field, OldValue, NewValue, ChangedBy, Note FROM "
                                    "tbLabResultAudit WHERE RequestNum = ? AND ItemID = ? "
                                    "ORDER BY AuditID"_s,
                                    {req, item}),
            u'|');
    }
    QString chain()
    {
        return m_lab->conn.openRecordset(u"Lab_CheckAuditTrail"_s)->text(u"BrokenAt"_s);
    }

    std::unique_ptr<DemoLab> m_lab;
};

QTEST_GUILESS_MAIN(TstResultRules)
#include "tst_result_rules.moc"
