// The laboratory's rules on every result it stores, whatever sends the
// command text: value forms, flags in each unit system, verification, the
// audit it writes itself, and saves from a window opened before another
// workstation's change.
#include "labserver/LabStore.h"
#include "tests/support/Caught.h"
#include "tests/support/DemoLab.h"
#include "tests/support/Rows.h"

#include <QtTest>

namespace {
// One normal-value row of L-1016 as the window saves it.
QString nvSave(const QString& item, const QString& value, const QString& verified = "N",
               const QString& employee = "MT02", const QString& request = "L-1016")
{
    return QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2 '%1', '%2', '%3', '', '', "
                          "'', '', '', '', '', '', '', '', '', '1', 'A-1', '', "
                          "'3/7/2024 8:00:00 AM', '3/7/2024 7:45:00 AM', '', '%4', '%5', "
                          "'AN-01', '3/7/2024 9:30:00 AM'")
        .arg(request, item, value, employee, verified);
}
} // namespace

class TstResultRules : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_lab = std::make_unique<DemoLab>();
        m_db = &m_lab->db;
        m_conn = &m_lab->conn;
    }
    void cleanup() { m_lab.reset(); }

    // What the laboratory stores and prints of a value, or how it refuses it:
    // the flag of each unit system's table from its own value and range, a
    // censored value by its bound, the edges of the critical limits.
    void valuesAreJudgedOnce_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("siFlag");
        QTest::addColumn<QString>("conventional");
        QTest::addColumn<QString>("cFlag");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("below critical") << "GLU"
                                        << "2.4"
                                        << "LL"
                                        << "43"
                                        << "LL"
                                        << "";
        QTest::newRow("at critical low") << "GLU"
                                         << "2.5"
                                         << "L"
                                         << "45"
                                         << "L"
                                         << "";
        QTest::newRow("at lower limit") << "GLU"
                                        << "3.9"
                                        << ""
                                        << "70"
                                        << ""
                                        << "";
        QTest::newRow("at critical high") << "GLU"
                                          << "25"
                                          << "H"
                                          << "450"
                                          << "H"
                                          << "";
        QTest::newRow("above critical") << "GLU"
                                        << "25.1"
                                        << "HH"
                                        << "452"
                                        << "HH"
                                        << "";
        QTest::newRow("censored low") << "GLU"
                                      << "<0.5"
                                      << "LL"
                                      << "<9"
                                      << "LL"
                                      << "";
        QTest::newRow("censored high") << "GLU"
                                       << ">1000"
                                       << "HH"
                                       << ">18016"
                                       << "HH"
                                       << "";
        QTest::newRow("censored undecided") << "CREA"
                                            << "<200"
                                            << ""
                                            << "<2.26"
                                            << ""
                                            << "";
        QTest::newRow("conventional rounds over") << "URIC"
                                                  << "420"
                                                  << ""
                                                  << "7.1"
                                                  << "H"
                                                  << "";
        QTest::newRow("conventional rounds onto") << "URIC"
                                                  << "148"
                                                  << "L"
                                                  << "2.5"
                                                  << ""
                                                  << "";
        QTest::newRow("comma") << "GLU"
                               << "12,4"
                               << ""
                               << ""
                               << ""
                               << "Use a point: 12.4";
        QTest::newRow("exponent") << "GLU"
                                  << "1e3"
                                  << ""
                                  << ""
                                  << ""
                                  << "Write it out: 1000";
        QTest::newRow("word") << "GLU"
                              << "abc"
                              << ""
                              << ""
                              << ""
                              << "Use a number with a point";
        QTest::newRow("below zero") << "CREA"
                                    << "-5"
                                    << ""
                                    << ""
                                    << ""
                                    << "below zero";
    }
    void valuesAreJudgedOnce()
    {
        QFETCH(QString, item);
        QFETCH(QString, value);
        QFETCH(QString, siFlag);
        QFETCH(QString, conventional);
        QFETCH(QString, cFlag);
        QFETCH(QString, refusal);
        const QString before = tableValue(
            QStringLiteral("SELECT SIResult FROM tbLabResult WHERE RequestNum = 'L-1016' AND "
                           "ItemID = '%1'")
                .arg(item));
        const Caught failed = caught([&] { m_conn->execute(nvSave(item, value)); });
        if (!refusal.isEmpty()) {
            QVERIFY2(failed.description.contains(refusal), qPrintable(failed.description));
            QCOMPARE(tableValue(QStringLiteral("SELECT SIResult FROM tbLabResult WHERE "
                                               "RequestNum = 'L-1016' AND ItemID = '%1'")
                                    .arg(item)),
                     before);
            return;
        }
        QCOMPARE(failed.number, 0);
        QCOMPARE(reportRow("Lab_Report_SIUnits", item), (QStringList{value, siFlag}));
        QCOMPARE(reportRow("Lab_Report_ConventionalUnits", item),
                 (QStringList{conventional, cFlag}));
    }

    // Verification on every path: only a technologist or pathologist, never
    // an empty row, never a critical result without a call.
    void verificationIsTheLaboratorysRule()
    {
        const auto verified = [&](const QString& item) {
            return tableValue(QStringLiteral("SELECT Verified || coalesce(VerifiedBy, '') FROM "
                                             "tbLabResult WHERE RequestNum = 'L-1016' AND "
                                             "ItemID = '%1'")
                                  .arg(item));
        };
        const QString glucose = verified("GLU");
        for (const QString& who : {QStringLiteral("CL01"), QStringLiteral("NOBODY")}) {
            const Caught c = caught([&] {
                m_conn->execute(QStringLiteral("LAB_Save_VerifyResults 'L-1016','%1'").arg(who));
            });
            QVERIFY2(c.description.contains(who) && c.description.contains("not verified"),
                     qPrintable(c.description));
        }
        QCOMPARE(verified("GLU"), glucose);

        // The save's own Verified 'Y' is held to the same rules.
        Caught c = caught([&] { m_conn->execute(nvSave("GLU", "28", "Y")); });
        QVERIFY2(c.description.contains("has not been reported"), qPrintable(c.description));
        QCOMPARE(verified("GLU"), glucose);
        m_conn->execute(nvSave("TRIG", "", "Y"));
        QCOMPARE(verified("TRIG"), QStringLiteral("N"));
        m_conn->execute(nvSave("CREA", "90", "Y"));
        QCOMPARE(verified("CREA"), QStringLiteral("YMT02"));

        // A call is of the saved value: not before it, not in the future, by
        // someone the laboratory knows.
        m_conn->execute(nvSave("GLU", "28"));
        for (const auto& [at, who] :
             {std::pair{"1/1/2020 9:00:00 AM", "MT02"}, std::pair{"1/1/2030 9:00:00 AM", "MT02"},
              std::pair{"3/7/2024 3:00:00 PM", "NOBODY"}}) {
            c = caught([&] {
                m_conn->execute(QStringLiteral("Lab_RecordCriticalCall 'L-1016', 'GLU', "
                                               "'Dr. Cruz', '%1', '%2', ''")
                                    .arg(at, who));
            });
            QVERIFY2(c.number != 0, at);
        }
        m_conn->execute(QStringLiteral("Lab_RecordCriticalCall 'L-1016', 'GLU', 'Dr. Cruz', "
                                       "'3/7/2024 3:00:00 PM', 'MT02', ''"));
        m_conn->execute(QStringLiteral("Lab_AcknowledgeDelta 'L-1016', 'GLU', 'MT02'"));
        m_conn->execute(QStringLiteral("LAB_Save_VerifyResults 'L-1016','MT01'"));
        QCOMPARE(verified("GLU"), QStringLiteral("YMT01"));
        QCOMPARE(verified("TRIG"), QStringLiteral("N")); // no value
    }

    // The laboratory writes the audit itself, whatever made the change, and
    // a row changed or removed later breaks the chain from there on.
    void everyChangeIsAudited()
    {
        // As the cut-off window saves: its save names no employee, the
        // check it begins with does.
        m_conn->beginTrans();
        m_conn->execute(QStringLiteral("Lab_CheckUnchanged 'L-1001', 'ANTIHBS:0', 'MT02'"));
        m_conn->execute(QStringLiteral(
            "Laboratory..Lab_SaveWithCutOff 'A-101','3/7/2024 2:05:00 PM', '3/7/2024 1:30:00 "
            "PM','L-1001','ANTIHBS', '5', 'Anti-HBs', '50', '10', '', '','2'"));
        m_conn->commitTrans();
        const QStringList trail = auditOf("L-1001", "ANTIHBS");
        QVERIFY2(trail.contains("Result||50|MT02|") &&
                     trail.contains("Interpretation||POSITIVE|MT02|") &&
                     trail.contains("Entered by||MT02 (typed)|MT02|"),
                 qPrintable(trail.join('\n')));

        // A change outside the procedures is recorded as such.
        m_db->store().begin();
        m_db->store().exec(QStringLiteral("UPDATE tbLabResult SET SIResult = '6.0' WHERE "
                                          "RequestNum = 'L-1016' AND ItemID = 'GLU'"));
        m_db->store().commit();
        const QString outside = tableValue(QStringLiteral(
            "SELECT Note FROM tbLabResultAudit WHERE RequestNum = 'L-1016' AND Field = "
            "'Result' ORDER BY AuditID DESC LIMIT 1"));
        QCOMPARE(outside, QStringLiteral("made outside the laboratory's procedures"));

        QCOMPARE(chain(), QStringLiteral("0"));
        const QString second = tableValue(QStringLiteral(
            "SELECT AuditID FROM tbLabResultAudit ORDER BY AuditID LIMIT 1 OFFSET 1"));
        if (TestDatabase::engine() == Engine::SQLite) {
            m_db->store().exec(QStringLiteral("DROP TRIGGER trAuditNoChange"));
            m_db->store().exec(
                QStringLiteral("UPDATE tbLabResultAudit SET NewValue = 'x' WHERE AuditID = %1")
                    .arg(second));
            QCOMPARE(chain(), second);
        }
        const Caught c =
            caught([&] { m_db->store().exec(QStringLiteral("DELETE FROM tbLabResultAudit")); });
        QVERIFY(c.number != 0);
    }

    // A window opened before another workstation's change cannot write its
    // stale rows over it: the laboratory refuses the whole save and says
    // who changed what.
    void staleWindowsAreRefused()
    {
        auto rs = m_conn->openRecordset(QStringLiteral("Lab_GetResultChangeNumbers 'L-1016'"));
        QStringList read;
        for (; !rs->eof(); rs->moveNext())
            read << rs->text(QStringLiteral("ItemID")) + ':' + rs->text(QStringLiteral("ChangeNo"));
        Connection other;
        other.open(m_db->connectionString());
        other.execute(nvSave("GLU", "6.0"));

        m_conn->beginTrans();
        const Caught c = caught([&] {
            m_conn->execute(
                QStringLiteral("Lab_CheckUnchanged 'L-1016', '%1', 'MT01'").arg(read.join(';')));
        });
        m_conn->rollbackTrans();
        QVERIFY2(
            c.description.startsWith("Glucose (fasting) was changed to 6.0 by MT02 at 3:00 PM") &&
                c.description.endsWith("Reopen L-1016 to see the current results."),
            qPrintable(c.description));
        // Read again, the same numbers pass.
        read.clear();
        rs = m_conn->openRecordset(QStringLiteral("Lab_GetResultChangeNumbers 'L-1016'"));
        for (; !rs->eof(); rs->moveNext())
            read << rs->text(QStringLiteral("ItemID")) + ':' + rs->text(QStringLiteral("ChangeNo"));
        m_conn->execute(QStringLiteral("Lab_CheckUnchanged 'L-1016', '%1'").arg(read.join(';')));

        // The same for an instrument's sample: read unposted, then posted to
        // another request by the other workstation, it is not taken over;
        // read where it stands, it is.
        const QString sample = QStringLiteral(
            "Lab_CheckUnchanged 'L-1001', '', 'MT01', '101', 'AN-01', '03/07/2024', '%1'");
        m_conn->execute(sample.arg(QString()));
        other.execute(QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','101','L-1002',"
                                     "'MT02','03/07/2024','AN-01'"));
        const Caught posted = caught([&] { m_conn->execute(sample.arg(QString())); });
        QCOMPARE(posted.description, QStringLiteral("Sample 101 was posted to L-1002 by MT02 at "
                                                    "3:00 PM after this window opened. Nothing "
                                                    "was saved. Reopen L-1001 to see the "
                                                    "current results."));
        m_conn->execute(sample.arg(QStringLiteral("l-1002")));
    }

private:
    QString tableValue(const QString& sql)
    {
        return m_db->store().query(sql).rows.value(0).value(0).toString();
    }
    QStringList reportRow(const char* procedure, const QString& item)
    {
        const QString name = tableValue(
            QStringLiteral("SELECT ExamName FROM tbLabExamItem WHERE ItemID = '%1'").arg(item));
        auto rs = m_conn->openRecordset(QStringLiteral("%1 'L-1016'").arg(procedure));
        for (; !rs->eof(); rs->moveNext())
            if (rs->text(QStringLiteral("ExamName")) == name)
                return {rs->textOrEmpty(QStringLiteral("Result")),
                        rs->textOrEmpty(QStringLiteral("Flag"))};
        return {};
    }
    QStringList auditOf(const QString& req, const QString& item)
    {
        return textRows(m_db->store().query(
                            QStringLiteral("SELECT Field, OldValue, NewValue, ChangedBy, Note FROM "
                                           "tbLabResultAudit WHERE RequestNum = ? AND ItemID = ? "
                                           "ORDER BY AuditID"),
                            {req, item}),
                        u'|');
    }
    QString chain()
    {
        return m_conn->openRecordset(QStringLiteral("Lab_CheckAuditTrail"))
            ->text(QStringLiteral("BrokenAt"));
    }

    std::unique_ptr<DemoLab> m_lab;
    TestDatabase* m_db = nullptr;
    Connection* m_conn = nullptr;
};

QTEST_GUILESS_MAIN(TstResultRules)
#include "tst_result_rules.moc"
