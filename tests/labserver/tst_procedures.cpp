#include "labrules/LabLogic.h"
#include "tests/support/Caught.h"
#include "tests/support/DemoLab.h"
#include "tests/support/Rows.h"
#include "tests/support/SaveTexts.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// L-1013's glucose as the normal-values window saves it, verified or not.
QString heldGlucose(const QString& verified)
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

// The stored procedures against the demo laboratory of 7 March 2024 (the
// windows' command texts are sent by the screen tests and the walkthrough),
// quality control among them.
class TstProcedures : public QObject {
    Q_OBJECT
private slots:
    void init() { m_lab = std::make_unique<DemoLab>(); }
    void cleanup() { m_lab.reset(); }

    void cutOffSaveIsReadBack()
    {
        m_lab->conn.execute(u"Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1001', '', "
                            "'MT01','3/7/2024 2:05:00 PM', '3/7/2024 1:30:00 PM','A-101'"_s);
        m_lab->conn.execute(CutOffSave{"L-1001", "HBSAG", "5", "0.42", "1", "0.42"}.text());
        QCOMPARE(rowOf("Lab_FormMaker_GetResult", "L-1001",
                       {"samplesubmitted", "lratime", "Resultdate", "AccessionNum", "Remarks"}),
                 (QStringList{"3/7/2024 2:05:00 PM", "3/7/2024 1:30:00 PM", "3/7/2024 3:00:00 PM",
                              "A-101", "Slightly hemolysed"}));
        QCOMPARE(tableRow(u"SELECT count(*) FROM tbLabLogbook WHERE RequestNum = 'L-1001'"_s),
                 QStringList{"1"});
        // Re-entry lists only the exams still without a result.
        QCOMPARE(
            m_lab->conn.openRecordset(u"Lab_FormMaker_FillExams 'L-1001','2'"_s)->text(u"ExamId"_s),
            "ANTIHBS");
    }

    // The interpretation saved, shown on reopening and printed is one, for
    // every form type the cut-off window saves. A save over an earlier one
    // (99) must not keep its interpretation.
    void cutOffResultIsInterpretedOnSave_data()
    {
        // request, item, form type, value, cut-off, result as the window
        // hands it, interpretation, printed cut-off
        QTest::addColumn<QStringList>("r");
        const auto row = [](const char* name, const QStringList& r) { QTest::newRow(name) << r; };
        row("changed value, old interpretation",
            {"L-1001", "ANTIHBS", "5", "5", "", "POSITIVE", "NEGATIVE", "10.0"});
        row("at the cut-off", {"L-1001", "ANTIHBS", "5", "10.0", "", "", "POSITIVE", "10.0"});
        row("competitive, at the cut-off",
            {"L-1001", "ANTIHBC", "5", "1.0", "", "NON-REACTIVE", "REACTIVE", "1.0"});
        row("against the saved cut-off",
            {"L-1001", "HBSAG", "5", "0.1", "0.05", "0.1", "REACTIVE", "0.05"});
        row("instrument number without value",
            {"L-1001", "HBSAG", "5", "", "1", "0.42", "NON-REACTIVE", "1.0"});
        row("word typed over a number",
            {"L-1001", "HBSAG", "5", "NON-REACTIVE", "", "REACTIVE", "NON-REACTIVE", "1.0"});
        row("NULL typed", {"L-1001", "HBSAG", "5", "NULL", "", "", "NULL", "1.0"});
        // Edges of the grey zone: 1.10 - 1.0 and 1.1 - 1.00 exceed 0.1 as doubles.
        row("package: HIV zone, upper edge",
            {"L-1003", "HIV", "P", "1.10", "1", "REACTIVE", "EQUIVOCAL", "1.0"});
        row("H: Typhi zone, lower edge",
            {"L-1007", "TYPHIGM", "H", "1.00", "", "NEGATIVE", "EQUIVOCAL", "1.1"});
        row("W: NS1", {"L-1005", "NS1", "W", "3.85", "", "NEGATIVE", "POSITIVE", "1.0"});
    }
    void cutOffResultIsInterpretedOnSave()
    {
        QFETCH(QStringList, r);
        const QString &request = r[0], &item = r[1], &value = r[3], &interpretation = r[6];
        m_lab->conn.execute(CutOffSave{request, item, r[2], "99", "", ""}.text());
        m_lab->conn.execute(CutOffSave{request, item, r[2], value, r[4], r[5]}.text());
        const QString stored = value.isEmpty() ? r[5] : value;
        const auto printed = [](const QString& v) { return v == u"NULL" ? u"-"_s : v; };
        // As stored, as reopened and as printed.
        QCOMPARE(
            tableRow(u"SELECT FormType, ResultKind, PatientValue, Result FROM "
                     "tbLabResult WHERE RequestNum = '%1' AND ItemID = '%2'"_s.arg(request, item)) +
                rowOf("LABORATORY..Lab_GetResultWithCutOff ", request, {"PatientValue", "result"},
                      item, "ItemID") +
                rowOf("Lab_Report_CutOffResults", request, {"Value", "Result", "CutOff"}, item),
            (QStringList{r[2], "C", stored, interpretation, stored, interpretation, printed(stored),
                         printed(interpretation), r[7]}));
    }

    void factorsAreHandedOutInFull()
    {
        // The window saves back the factor it read: a shortened one would
        // print 88 umol/L as 0.99 mg/dL after the next save.
        const QString factor =
            rowOf("Lab_FormMaker_GetResult_ReagentValues", "L-1014", {"Factor"}, "CREA", "ExamCode")
                .value(0);
        QCOMPARE(LabLogic::number(factor), std::optional(1 / 88.42));
        m_lab->conn.execute(NormalValueSave{"L-1014", "CREA", "88", "0.99", factor}.text());
        QCOMPARE(rowOf("Lab_Report_ConventionalUnits", "L-1014", {"Result"}, "Creatinine"),
                 QStringList{"1.00"});
    }

    void aSampleEndsWhereItWasPostedLast()
    {
        // A window posts the sample with every row it saves: repeats are
        // done once, yet a post elsewhere in between is undone by the next.
        // Where the sample's rows stand after each post, as the window's
        // transaction sees them, while another sample's row of the day stays:
        const QString post = u"Lab_UpdateDLHemaResult '2','101','%1','MT01','03/07/2024','AN-01'"_s;
        m_lab->db.exec("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, "
                       "Resultdate, InstrumentItem, ResultValue) VALUES "
                       "('AN-01', '106', '2024-03-07 08:30:00', 'HBsAg', '0.21')");
        QStringList postedTo;
        m_lab->conn.beginTrans();
        for (const char* request : {"L-1001", "L-1001", "L-1018", "L-1001"}) {
            m_lab->conn.execute(post.arg(QLatin1String(request)));
            QStringList rows;
            for (auto rs = m_lab->conn.openRecordset(
                     u"select * from tbLabInstrumentDLHemaResult where Posted = 'Y'"_s);
                 !rs->eof(); rs->moveNext())
                if (rs->text(u"PostedRequestNum"_s).startsWith(u"L-10"))
                    rows << rs->text(u"SampleNum"_s) + u':' + rs->text(u"PostedRequestNum"_s);
            postedTo << rows.join(u' ');
        }
        m_lab->conn.commitTrans();
        const QString to1001 = u"101:L-1001 101:L-1001 101:L-1001"_s;
        QCOMPARE(postedTo,
                 (QStringList{to1001, to1001, u"101:L-1018 101:L-1018 101:L-1018"_s, to1001}));
    }

    // A verification stamps every row of the request alike, with the clock's now.
    void aRequestIsVerifiedAtOnce()
    {
        m_lab->conn.execute(NormalValueSave{"L-1016", "GLU", "7.0"}.text());
        m_lab->conn.execute(u"laboratory..LAB_Save_VerifyResults 'L-1016','MT01'"_s);
        QCOMPARE(
            tableRow(u"SELECT count(DISTINCT Verified || VerifiedBy || "
                     "CAST(VerifiedAt AS text)), min(Verified), min(VerifiedBy), "
                     "min(VerifiedAt) FROM tbLabResult WHERE "
                     "RequestNum = 'L-1016'"_s) +
                rowOf("Lab_FormMaker_GetResult", "L-1016", {"Resultdate", "Method", "VerifiedBy"}),
            (QStringList{"1", "Y", "MT01", "2024-03-07 15:00:00", "3/7/2024 9:30:00 AM", "AN-01",
                         "MT01"}));
    }

    void badArgumentsAreNamedAndWriteNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const QString& text, const char* message) {
            QTest::newRow(name) << text << u"Procedure "_s + QLatin1String(message);
        };
        const QString save = u"Laboratory..Lab_SaveWithCutOff 'A',"_s;
        row("not a date",
            save + "'someday', '3/7/2024','L-1001','HBSAG', '5', 'x', '1', '', '', '','1'",
            "Lab_SaveWithCutOff: argument 2 (@SampleSubmitted) 'someday' is not a date.");
        row("unknown exam", CutOffSave{.item = "NOPE"}.text(),
            "Lab_SaveWithCutOff: exam item 'NOPE' does not exist.");
        row("mode 2 with six",
            "LABORATORY..sp_InstrumentGetAxsymSample  '2','03/07/2024','AN-01','101','', ''",
            "sp_InstrumentGetAxsymSample: mode 2 takes 5 arguments, not 6.");
        row("verified flag",
            NormalValueSave{.request = "L-1013", .item = "GLU", .si = "5.5", .verified = "maybe"}
                .text(),
            "Lab_FormMaker_SaveResultWithNormalValues2: argument 22 (@Verified) 'maybe' is "
            "neither Y nor N.");
        row("verifying what was never saved", "laboratory..LAB_Save_VerifyResults 'L-1001','MT01'",
            "LAB_Save_VerifyResults: request 'L-1001' has no saved results to verify.");
    }
    void badArgumentsAreNamedAndWriteNothing()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        const auto written = [&] {
            return tableRow(
                u"SELECT (SELECT count(*) FROM tbLabResult), (SELECT count(*) FROM tbLabLogbook), "
                "(SELECT count(*) FROM tbLabResultHeader), (SELECT count(*) FROM "
                "tbLabInstrumentDLHemaResult WHERE Posted = 'Y'), (SELECT count(*) FROM "
                "tbLabResult WHERE Verified = 'Y')"_s);
        };
        const QStringList before = written();
        const Caught e = caught([&] { m_lab->conn.execute(text); });
        QCOMPARE(e.number, ErrNo::DbCommandFailed);
        QCOMPARE(e.description, message);
        QCOMPARE(written(), before);
    }

    // The normal range is the patient's: by sex and age on the day of the
    // request, else the item's own; the window's limits, the fill, the flags
    // and the report all use it.
    void theRangeIsThePatients_data()
    {
        // sex, birth date; SI min, max, conventional min, max, flag
        QTest::addColumn<QStringList>("r");
        const auto row = [](const char* name, const QStringList& r) { QTest::newRow(name) << r; };
        row("man", {"M", "1995-09-09", "130", "180", "13", "18", "L"});
        row("woman", {"F", "2001-07-04", "120", "160", "12", "16", ""});
        row("girl of 7: the age band", {"F", "2017-01-01", "110", "150", "11", "15", ""});
        row("sex and age unknown: the item's", {"", "", "120", "160", "12", "16", ""});
    }
    void theRangeIsThePatients()
    {
        QFETCH(QStringList, r);
        m_lab->db.exec(
            u"UPDATE tbPatient SET Sex = '%1', BirthDate = %2 WHERE HospNum = 'H-0008'"_s.arg(
                r[0], r[1].isEmpty() ? u"NULL"_s : "'" + r[1] + " 00:00:00'"));
        m_lab->conn.execute(NormalValueSave{"L-1009", "HGB", "125"}.text());
        // The limits, the flag, and the range as the report and the fill show it.
        QStringList got =
            rowOf("Lab_GetResultChecks", "L-1009", {"SIMin", "SIMax", "CMin", "CMax"}, "HGB",
                  "ItemID") +
            rowOf("Lab_Report_SIUnits", "L-1009", {"Flag", "NormalValues"}, "Hemoglobin");
        for (auto exams = m_lab->conn.openRecordset("Lab_FormMaker_FillExams 'L-1009','0'");
             !exams->eof(); exams->moveNext())
            if (exams->text("ExamId") == u"HGB")
                got << exams->text("Normal Values");
        const QString shown = r[2] + " - " + r[3];
        QCOMPARE(got, r.mid(2) + QStringList({shown, shown}));
    }

    // A critical glucose of REYES, ANA, whose earlier glucose was 5.5: the
    // verification waits for the call and the delta acknowledgement, and
    // for a second person when the laboratory asks for one; a correction
    // after verification is reported; every step is in the audit trail,
    // which nothing changes.
    void aCriticalResultIsCalledAcknowledgedVerifiedAndAudited()
    {
        m_lab->db.exec("DELETE FROM tbLabQCHold"); // the demo's glucose hold on sample 103
        QCOMPARE(rowOf("Lab_GetResultChecks", "L-1016",
                       {"CriticalLow", "CriticalHigh", "PlausibleHigh", "DeltaLimit",
                        "DeltaPercent", "PrevResult", "PrevUnit", "PrevDate", "PrevRequest"},
                       "GLU", "ItemID"),
                 (QStringList{"2.5", "25", "100", "50", "Y", "5.5", "mmol/L",
                              "2/22/2024 9:00:00 AM", "L-0916"}));
        const auto verifying = [&](const QString& by) {
            return refusal("LAB_Save_VerifyResults 'L-1016','" + by + "'");
        };
        const QString entry =
            "Lab_RecordResultEntry 'L-1016','GLU','MT02','I','AN-01','103','BENCH-1'";
        m_lab->conn.execute(NormalValueSave{"L-1016", "GLU", "28"}.text());
        m_lab->conn.execute(entry);
        QCOMPARE(rowOf("Lab_Report_SIUnits", "L-1016", {"Result", "Flag"}, "Glucose (fasting)"),
                 (QStringList{"28", "HH"}));
        QVERIFY2(verifying("MT01").startsWith("The critical result 28 mmol/L (HH) of Glucose "
                                              "(fasting) on request L-1016 has not been reported"),
                 qPrintable(verifying("MT01")));
        // Nor by one who may not verify, nor by the save's own Verified 'Y'.
        for (const char* who : {"CL01", "NOBODY"})
            QVERIFY2(verifying(who).contains(who) && verifying(who).contains("not verified"), who);
        QVERIFY(refusal(NormalValueSave{.item = "GLU", .si = "28", .verified = "Y"}.text())
                    .contains("has not been reported"));
        // A call is of the saved value: not before it, not in the future, by
        // someone the laboratory knows.
        const QString call = "Lab_RecordCriticalCall 'L-1016','GLU','Dr. Ramon Cruz',%1,'BENCH-1'";
        for (const char* when : {"'1/1/2020 9:00:00 AM','MT02'", "'1/1/2030 9:00:00 AM','MT02'",
                                 "'3/7/2024 3:05:00 PM','NOBODY'"})
            QVERIFY2(!refusal(call.arg(QLatin1String(when))).isEmpty(), when);
        m_lab->conn.execute(call.arg("'3/7/2024 3:05:00 PM','MT02'"));
        QVERIFY(verifying("MT01").contains("differs from the previous result 5.5 mmol/L by more "
                                           "than its delta limit"));
        m_lab->conn.execute("Lab_AcknowledgeDelta 'L-1016','GLU','MT01'");
        // A save with Verified 'Y' verifies a value as its employee, never an empty row.
        m_lab->conn.execute(NormalValueSave{.item = "TRIG", .verified = "Y"}.text());
        m_lab->conn.execute(NormalValueSave{.item = "CREA", .si = "90", .verified = "Y"}.text());
        const char* verified = "SELECT ItemID || ' ' || Verified || coalesce(VerifiedBy, '') FROM "
                               "tbLabResult WHERE RequestNum = 'L-1016' AND ItemID IN ('CREA', "
                               "'GLU', 'TRIG') ORDER BY ItemID";
        QCOMPARE(textRows(m_lab->db.query(verified)),
                 (QStringList{"CREA YMT02", "GLU N", "TRIG N"}));
        m_lab->db.exec("INSERT INTO tbLabOption (Name, Value) VALUES ('SeparateVerifier', 'Y')");
        // Whoever entered it leaves it to another technologist, however the id
        // is written and whether verifying or saving it verified.
        QCOMPARE(verifying("mt02"), QString());
        QVERIFY(
            refusal(NormalValueSave{.item = "GLU", .si = "28", .verified = "Y", .employee = "mt02"}
                        .text())
                .contains("another medical technologist verify it"));
        QCOMPARE(textRows(m_lab->db.query(verified)).value(1), "GLU N");
        m_lab->conn.execute("LAB_Save_VerifyResults 'L-1016','MT01'");
        QCOMPARE(textRows(m_lab->db.query(verified)).mid(1), (QStringList{"GLU YMT01", "TRIG N"}));
        QCOMPARE(rowOf("Lab_Report_ResultNotes", "L-1016", {"Note"}),
                 QStringList{"28 mmol/L HH critical: reported to Dr. Ramon Cruz at 3/7/2024 "
                             "3:05:00 PM"});

        // Corrected after verification, with its reason: the call belonged
        // to the old value.
        Clock::pin(QDateTime(DemoLab::kDay, QTime(15, 10)));
        m_lab->conn.execute(
            NormalValueSave{.item = "GLU", .si = "6.0", .reason = "Transcription error"}.text());
        m_lab->conn.execute(entry);
        // What the amended report then says is its golden text (tst_reports).
        QCOMPARE(tableRow("SELECT Note FROM tbLabResultAudit WHERE ItemID = 'GLU' AND Field = "
                          "'Result' AND NewValue = '6.0'"),
                 QStringList{"Transcription error"});
        QCOMPARE(tableRow("SELECT EntryBy, EntrySource, EntryInstrument, EntrySample, "
                          "coalesce(CriticalCalledTo, '-') FROM tbLabResult WHERE "
                          "RequestNum = 'L-1016' AND ItemID = 'GLU'"),
                 (QStringList{"MT02", "I", "AN-01", "103", "-"}));
        QStringList trail;
        const auto audit = m_lab->conn.openRecordset("Lab_GetAuditTrail 'L-1016'");
        for (const QVariantList& r : audit->data().rows)
            if (r[1].toString() == u"GLU")
                trail << QStringList{r[2].toString(), r[3].toString(), r[4].toString(),
                                     r[5].toString()}
                             .join(u'|');
        const QString typed = "MT02 (typed)", taken = "MT02 (instrument AN-01, sample 103)",
                      called = "Dr. Ramon Cruz at 2024-03-07 15:05:00";
        QCOMPARE(trail,
                 (QStringList{"Result||5.5|MT02", "Conventional result||99|MT02",
                              "Entered by||" + typed + "|MT02", "Result|5.5|28|MT02",
                              "Conventional result|99|504|MT02",
                              "Entered by|" + typed + "|" + taken + "|MT02",
                              "Critical call||" + called + "|MT02", "Delta acknowledged||MT01|MT01",
                              "Verified|N|Y|MT01", "Verified by||MT01|MT01", "Result|28|6.0|MT02",
                              "Conventional result|504|108|MT02",
                              "Entered by|" + taken + "|" + typed + "|MT02",
                              "Critical call|" + called + "||MT02", "Delta acknowledged|MT01||MT02",
                              "Verified|Y|N|MT02", "Verified by|MT01||MT02",
                              "Entered by|" + typed + "|" + taken + "|MT02"}));
        for (const char* change :
             {"UPDATE tbLabResultAudit SET NewValue = '5.5'", "DELETE FROM tbLabResultAudit"})
            QVERIFY(caught([&] {
                        m_lab->db.exec(QLatin1String(change));
                    }).description.contains("never changed"));
    }

    // Quality control as the laboratory keeps it: the demo's glucose run
    // rejected at 9:40 AM holds L-1013's glucose (sample 103, measured at
    // 9:50) on every path that verifies, until an accepted run, a corrective
    // action and the technologist's review; the chart's data.
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
        conn.execute(heldGlucose("N"));
        conn.execute("Lab_RecordResultEntry 'L-1013', 'GLU', 'MT02', 'I', 'AN-01', '103', 'WS-1'");
        const auto verify = [&] {
            // A refused commit leaves the window's transaction to roll back.
            const Caught c = caught([&] {
                if (path == "window")
                    conn.beginTrans();
                conn.execute(path == "preview" ? u"LAB_Save_VerifyResults 'L-1013', 'MT01'"_s
                                               : heldGlucose("Y"));
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
        // Nothing of K in January 2020.
        QVERIFY(
            m_lab->conn.openRecordset("sp_QCChartData 'AN-01', 'K', '01/01/2020', '01/31/2020'")
                ->eof());
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
            const QString why = refusal(r[0]);
            QVERIFY2(why.contains(r[1]), qPrintable(r[0] + ": " + why));
        }
    }

private:
    QStringList rowOf(const char* procedure, const QString& request, const QStringList& columns,
                      const QString& key = {}, const char* keyColumn = "ExamName")
    {
        return m_lab->rowOf(procedure, request, columns, key, keyColumn);
    }
    QStringList tableRow(const QString& sql) { return m_lab->firstRow(sql); }
    // Why the laboratory refused a command; empty when it ran.
    QString refusal(const QString& text)
    {
        return caught([&] { m_lab->conn.execute(text); }).description;
    }

    std::unique_ptr<DemoLab> m_lab;
};

QTEST_GUILESS_MAIN(TstProcedures)
#include "tst_procedures.moc"
