#include "instrument/Reception.h"
#include "instrument/astm/E1394Parser.h"
#include "instrument/hl7/Hl7Parser.h"
#include "instrument/import/Importer.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "tests/support/Caught.h"
#include "tests/support/DemoLab.h"
#include "tests/support/Rows.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
const QDate kDay = DemoLab::kDay;
const QString kPost = u"Lab_UpdateDLHemaResult '2','105','L-1018','MT01','03/07/2024','AN-01'"_s;

InstrumentResult result(const QString& code, const QString& value, const QString& unit = {},
                        const QTime& at = QTime(10, 15))
{
    InstrumentResult r;
    r.testId = {QString(), QString(), QString(), code};
    r.value = value;
    r.units = unit;
    r.completed = QDateTime(kDay, at);
    return r;
}

InstrumentMessage message(const QString& sample, const QList<InstrumentResult>& results,
                          const QString& patient = u"REYES, ANA MAE"_s)
{
    InstrumentMessage m;
    m.raw = "H|\\^&|||AN-01\rL|1|N\r";
    m.samples = {{sample, patient, results, {}}};
    return m;
}
} // namespace

// What an analyser sends, as the result windows then find it: each result
// once, held while its code is unknown, never touching what was posted.
class TstImporter : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        LIS_REQUIRE_ENGINE();
        m_lab.emplace();
        Clock::pin(QDateTime(kDay, QTime(11, 0)));
    }
    void cleanup() { m_lab.reset(); }

    void resultsReachTheSampleOnceAndHeldOnesWaitForTheirMapping()
    {
        Importer in(m_lab->db.store(), {u"an-01"_s, 0});
        const InstrumentMessage m =
            message(u"105"_s, {result("HBsAg", "0.38", "s/co"), result("aHBs", "12.50", "mIU/mL"),
                               result("XYZ", "7")});
        in.import(m);
        in.import(m); // sent again (an acknowledgement lost): nothing new
        QCOMPARE(rows("SELECT InstrumentItem, ResultValue, Unit, refnum, PatientName, Resultdate "
                      "FROM tbLabInstrumentDLHemaResult WHERE SampleNum = '105' "
                      "ORDER BY DLResultID"),
                 (QStringList{"HBsAg 0.38 S/CO REF-5017 REYES, ANA MAE 2024-03-07 10:15:00",
                              "aHBs 12.50 mIU/mL REF-5017 REYES, ANA MAE 2024-03-07 10:15:00",
                              "XYZ 7  REF-5017 REYES, ANA MAE 2024-03-07 10:15:00"}));
        QCOMPARE(rows("SELECT Protocol, Results, Duplicates, Held FROM tbLabInstrumentMessage "
                      "ORDER BY MessageID"),
                 (QStringList{"ASTM 3 0 1", "ASTM 0 3 0"}));
        const auto held = Importer::held(m_lab->db.store(), u"AN-01"_s);
        QCOMPARE(held.size(), 1);
        QCOMPARE(held[0].sample + ' ' + held[0].item + ' ' + held[0].value, "105 XYZ 7");

        // Posting takes the mapped results only, and the held one once it is mapped.
        m_lab->conn.execute(kPost);
        QCOMPARE(rows("SELECT InstrumentItem, Posted FROM tbLabInstrumentDLHemaResult "
                      "WHERE SampleNum = '105' ORDER BY DLResultID"),
                 (QStringList{"HBsAg Y", "aHBs Y", "XYZ N"}));
        m_lab->db.exec(
            "INSERT INTO tbLabExamFormat (Code, ItemID, SortOrder) VALUES ('HEPB', 'GLU', 9)");
        m_lab->db.exec("INSERT INTO tbLabInstrumentExams (InstrumentID, InstrumentItem, ItemID) "
                       "VALUES ('AN-01', 'XYZ', 'GLU')");
        QVERIFY(Importer::held(m_lab->db.store()).isEmpty());
        m_lab->conn.execute(kPost);
        QCOMPARE(rows("SELECT count(*) FROM tbLabInstrumentDLHemaResult WHERE SampleNum = '105' "
                      "AND Posted = 'Y' AND PostedRequestNum = 'L-1018'"),
                 QStringList{"3"});

        // A later run of the same sample is new; the posted rows stay as posted.
        in.import(message(u"105"_s, {result("HBsAg", "0.41", {}, QTime(12, 0))}));
        QCOMPARE(rows("SELECT ResultValue, Posted FROM tbLabInstrumentDLHemaResult "
                      "WHERE SampleNum = '105' AND InstrumentItem = 'HBsAg' ORDER BY DLResultID"),
                 (QStringList{"0.38 Y", "0.41 N"}));

        // A message of more results than one statement writes: each stored
        // once, in the order sent, its repeats known across the statements.
        QList<InstrumentResult> many;
        for (int i = 0; i < 100; ++i) {
            const int k = i < 90 ? i : i - 90; // the last ten repeat the first ten
            many << result(u"T%1"_s.arg(k % 70), QString::number(i), {}, QTime(13, 0).addSecs(k));
        }
        const Importer::Outcome big = in.import(message(u"106"_s, many));
        QCOMPARE((QList<int>{big.stored, big.duplicates}), (QList<int>{90, 10}));
        QCOMPARE(in.import(message(u"106"_s, many)).duplicates, 100);
        QStringList values;
        for (int i = 0; i < 90; ++i)
            values << QString::number(i);
        QCOMPARE(rows("SELECT ResultValue FROM tbLabInstrumentDLHemaResult WHERE SampleNum = '106' "
                      "ORDER BY DLResultID"),
                 values);
    }

    // What a result's status does, sent over ASTM and HL7 (OBX-11):
    // each step "STATUS VALUE" with a result time, "STATUS VALUE untimed"
    // without one, or "post" (the window saves the sample to its request).
    // Then sample 105's HBsAg rows (value, status, posted, and whether a row
    // waits beside a posted one it corrects), the audit of the messages'
    // changes, and what is held for the windows (listed with no instrument
    // named).
    void resultStatuses_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, const QStringList& steps,
                            const QStringList& expected) {
            QTest::newRow(name) << steps << expected;
        };
        row("P then F", {"P 4.0", "post", "F 5.0"}, {"5.0 F N", "audit 4.0 (P) 5.0 (F)"});
        row("F then C", {"F 5.0", "C 15.0"}, {"15.0 C N", "audit 5.0 (F) 15.0 (C)"});
        row("C after posting", {"F 5.0", "post", "C 15.0"},
            {"5.0 F Y", "15.0 C N corrects", "audit 5.0 (F) 15.0 (C), held: the result was posted",
             "held AN-01 15.0 corrects a posted result"});
        row("X", {"X 0", "post"}, {"- X N"});
        row("D", {"F 5.0", "D 5.0"}, {"audit 5.0 (F) (deleted)"});
        row("D after posting", {"F 5.0", "post", "D 5.0"}, {"5.0 F Y"});
        row("F resent after C", {"F 5.0", "C 15.0", "F 5.0"},
            {"15.0 C N", "audit 5.0 (F) 15.0 (C)"});
        // A step of several results is one message: its results are taken
        // in order, each seeing what the ones before it wrote.
        row("untimed, resent, deleted",
            {"F 5.0 untimed,F 5.0 untimed",
             "F 5.0 untimed,F 6.0 untimed,F 7.0 untimed,D 7.0 untimed"},
            {"5.0 F N", "6.0 F N", "audit 7.0 (F) (deleted)"});
        row("P, F and C in one message", {"P 4.0,F 5.0,C 15.0"},
            {"15.0 C N", "audit 4.0 (P) 5.0 (F)", "audit 5.0 (F) 15.0 (C)"});
    }
    void resultStatuses()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, expected);
        for (const auto protocol :
             {InstrumentMessage::Protocol::Astm, InstrumentMessage::Protocol::Hl7}) {
            const bool hl7 = protocol == InstrumentMessage::Protocol::Hl7;
            m_lab.emplace();
            Reception reception(m_lab->db.store(), {u"AN-01"_s, 0});
            for (const QString& step : steps) {
                Clock::pin(Clock::now().addSecs(2));
                if (step == u"post") {
                    m_lab->conn.execute(kPost);
                    continue;
                }
                QByteArray text = hl7 ? "MSH|^~\\&|AN|LAB|LIS|LAB|20240307103000||ORU^R01|C-" +
                                            step.toLatin1() +
                                            "|P|2.5\rPID|1||H-0007||LIM^GRACE\rOBR|1||105\r"
                                      : "H|\\^&|||AN-01\rP|1||||LIM^GRACE\rO|1|105||^^^HBsAg|R\r";
                for (const QString& one : step.split(',')) {
                    const QStringList w = one.split(' ');
                    const QByteArray status = w[0].toLatin1(), value = w[1].toLatin1();
                    const QByteArray at =
                        w.size() > 2 ? QByteArray() : QByteArray("20240307101500");
                    text +=
                        hl7 ? "OBX|1|NM|HBsAg||" + value + "|S/CO||N|||" + status + "|||" + at +
                                  "\r"
                            : "R|1|^^^HBsAg|" + value + "|S/CO||N||" + status + "||||" + at + "\r";
                }
                if (!hl7)
                    text += "L|1|N\r";
                QVERIFY2(reception.take(text, protocol), text.constData());
            }
            QStringList seen = rows("SELECT coalesce(ResultValue, '-'), ResultStatus, Posted, "
                                    "CASE WHEN Corrects IS NULL THEN '' ELSE 'corrects' END "
                                    "FROM tbLabInstrumentDLHemaResult WHERE SampleNum = '105' "
                                    "ORDER BY DLResultID")
                                   .replaceInStrings(QRegularExpression(" $"), QString()) +
                               rows("SELECT 'audit', OldValue, NewValue FROM tbLabResultAudit "
                                    "WHERE ChangedBy = 'AN-01' AND Workstation LIKE 'message %' "
                                    "ORDER BY AuditID");
            for (const Importer::HeldResult& h : Importer::held(m_lab->db.store()))
                seen << u"held %1 %2 %3"_s.arg(h.instrument, h.value, h.why);
            const QString tag = hl7 ? u"HL7"_s : u"ASTM"_s;
            QCOMPARE(seen << tag, expected + QStringList{tag});
        }
    }

    // Controls go to quality control, judged on arrival, whether known by
    // their lot's sample id or marked by the analyser; never to a sample
    // the windows could post. A marked control of no lot is kept in the
    // trail with its reason.
    void controlResultsGoToQualityControl_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("expected"); // the QC row, or the trail's reason
        const QByteArray astm = "H|\\^&|||AN-01|||||||P|1|20240307104500\rP|1\r";
        const QByteArray hl7 = "MSH|^~\\&|AN-01|LAB|LIS|WARD|20240307104500||ORU^R01|C1|P|2.5.1\r"
                               "PID|1\r";
        QTest::newRow("ASTM, the lot's sample id")
            << astm + "O|1|QC-GLU-2||^^^GLU|R\rR|1|^^^GLU|15.10|mmol/L||||F\rL|1|N\r"
            << "2 15.10 accepted I QC-GLU-2";
        QTest::newRow("ASTM, action code Q")
            << astm + "O|1|CTRL-9||^^^GLU|R||||||Q\rR|1|^^^GLU|5.1|mmol/L||||F\rL|1|N\r"
            << "no control lot of GLU has the sample id CTRL-9";
        QTest::newRow("HL7, the lot's sample id")
            << hl7 + "OBR|1||QC-K-1|K\rOBX|1|NM|K||3.52|mmol/L|||||F\r"
            << "1 3.52 accepted I QC-K-1";
        QTest::newRow("HL7, OBR-11 Q")
            << hl7 + "OBR|1||CTRL-8|K|||||||Q\rOBX|1|NM|K||3.5|mmol/L|||||F\r"
            << "no control lot of K has the sample id CTRL-8";
        QTest::newRow("HL7, SPM-11 Q")
            << hl7 + "OBR|1||CTRL-7|K\rOBX|1|NM|K||3.5|mmol/L|||||F\rSPM|1|CTRL-7||SER|||||||Q\r"
            << "no control lot of K has the sample id CTRL-7";
    }
    void controlResultsGoToQualityControl()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, expected);
        const auto parsed =
            text.startsWith("MSH") ? Hl7Parser::parse(text) : E1394Parser::parse(text);
        QVERIFY(std::holds_alternative<InstrumentMessage>(parsed));
        const auto outcome =
            Importer(m_lab->db.store(), {u"AN-01"_s, 0}).import(std::get<0>(parsed));
        QCOMPARE(outcome.stored, 0);
        const QStringList judged =
            rows("SELECT l.Level, r.Value, r.Verdict, r.Source, r.SampleID FROM tbLabQCResult r "
                 "JOIN tbLabQCLot l ON l.LotID = r.LotID WHERE r.Source = 'I'");
        const QStringList kept =
            rows("SELECT NewValue FROM tbLabResultAudit WHERE Field = 'QC control not judged'");
        QCOMPARE(judged.value(0) + kept.value(0).section(": ", 1), expected);
        QCOMPARE(outcome.controls, int(judged.size()));
        QCOMPARE(rows("SELECT count(*) FROM tbLabInstrumentDLHemaResult WHERE SampleNum IN "
                      "('QC-GLU-2', 'QC-K-1', 'CTRL-9', 'CTRL-8', 'CTRL-7')"),
                 QStringList{"0"});
    }

    void theItemCodeIsTheComponentTheInstrumentUses()
    {
        InstrumentResult r = result("ignored", "145");
        r.testId = {"", "", "", "", "HGB", "1"};
        Importer(m_lab->db.store(), {u"AN-01"_s, 5}).import(message("106", {r}));
        r.testId = {"HGB", "Haemoglobin", "L"};
        r.completed = r.completed.addSecs(60);
        Importer(m_lab->db.store(), {u"AN-01"_s, 0}).import(message("106", {r}));
        QCOMPARE(rows("SELECT InstrumentItem FROM tbLabInstrumentDLHemaResult "
                      "WHERE SampleNum = '106'"),
                 (QStringList{"HGB", "HGB"}));
    }

    // A message is stored whole or not at all: a failure halfway (here at
    // its second sample, after the first one's rows) leaves no row behind.
    // On a server, a stored message tells the windows of its samples once it
    // is committed, once a sample; a refused one tells nobody.
    void aFailedWriteStoresNothingAndTellsNobody()
    {
        auto listener = openLaboratory(ConnectionString::parse(m_lab->db.connectionString()));
        QStringList notices;
        QCOMPARE(listener->listen(downloadsChannel(), [&](const QString& n) { notices << n; }),
                 TestDatabase::engine() == Engine::PostgreSQL);
        InstrumentMessage m = message("107", {result("GLU", "5.5"), result("HGB", "145")});
        m.samples.append({QString(), QString(), {result("PLT", "250")}, {}});
        const Caught e = caught([&] { Importer(m_lab->db.store(), {"AN-01", 0}).import(m); });
        QCOMPARE(e.description, u"A sample in the message has no specimen id."_s);
        QCOMPARE(rows("SELECT count(*) FROM tbLabInstrumentDLHemaResult WHERE SampleNum = '107'"),
                 QStringList{"0"});
        QCOMPARE(rows("SELECT count(*) FROM tbLabInstrumentMessage"), QStringList{"0"});
        // Nor does a misspelt instrument get rows no window would look for.
        QVERIFY(caught([&] {
                    Importer(m_lab->db.store(), {"AN-1", 0})
                        .import(message("107", {result("GLU", "5")}));
                }).description.startsWith("The instrument AN-1 is not one of the laboratory's"));
        // And the store works on.
        m.samples.removeLast();
        Importer(m_lab->db.store(), {"an-01", 0}).import(m);
        QCOMPARE(rows("SELECT count(*) FROM tbLabInstrumentDLHemaResult WHERE SampleNum = '107'"),
                 QStringList{"2"});
        if (TestDatabase::engine() == Engine::PostgreSQL)
            QTRY_COMPARE(notices, QStringList{"AN-01|107"});
    }

    // An analyser asking for a sample's orders gets them in its own codes,
    // with the patient; a sample it has no order for gets "no information".
    void queriesAreAnsweredFromTheWorklist()
    {
        QCOMPARE(Importer::answerRecords(m_lab->db.store(), "an-01", " 105").join('\n'),
                 QByteArray("H|\\^&|||LIS|||||||P|1|20240307110000\n"
                            "P|1||H-0007||LIM^GRACE^SY\n"
                            "O|1|105||^^^HBsAg\\^^^aHBs\\^^^aHBc|R||||||N\n"
                            "L|1|N"));
        QCOMPARE(Importer::answerRecords(m_lab->db.store(), "AN-01", "S|9").join('\n'),
                 QByteArray("H|\\^&|||LIS|||||||P|1|20240307110000\nP|1\nL|1|I"));
    }

private:
    QStringList rows(const QString& sql) { return textRows(m_lab->db.query(sql)); }

    std::optional<DemoLab> m_lab;
};

QTEST_GUILESS_MAIN(TstImporter)
#include "tst_importer.moc"
