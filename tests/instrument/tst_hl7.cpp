#include "instrument/hl7/Hl7Parser.h"
#include "instrument/hl7/MllpLink.h"
#include "platform/Clock.h"
#include "tests/support/EverySplit.h"
#include "tests/support/InstrumentSummary.h"
#include "tests/support/Mutations.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// What a haematology analyser sends for one patient: a blood count with
// numbers, units, ranges and flags, and a second order (placer number only)
// with a structured numeric result.
const QByteArray kResults =
    "MSH|^~\\&|HEMA-1|LAB2|LIS|WARD|20240307140512||ORU^R01^ORU_R01|M0417|P|2.5.1\r"
    "PID|1||P-4410||Moreau^Anne^Claire||19800214|F\r"
    "OBR|1|ORD-881|S-24031^HEMA|CBC\r"
    "OBX|1|NM|WBC^White blood cells^L||6.40|10*3/uL|4.00-10.00|N|||F|||20240307140100\r"
    "OBX|2|NM|PLT^Platelets^L||512|10*3/uL^^UCUM|150-400|H~A|||F|||20240307140105.25+0100\r"
    "NTE|1||checked\r"
    "OBR|2|ORD-882||CRP\r"
    "OBX|1|SN|CRP^C-reactive protein||<^5|mg/L|0-5||||F\r";
const QByteArray kSecond = "MSH|^~\\&|HEMA-1|LAB2|LIS|WARD|20240307140530||ORU^R01|M0418|P|2.3\r"
                           "OBR|1||S-24032\rOBX|1|NM|HGB||12.50|g/dL\r";
const QByteArray kAdmission = "MSH|^~\\&|ADM|H|LIS|L|20240307||ADT^A01|C7|P|2.4\rPID|1\r";
const QByteArray kOwnDelimiters = "MSH#$*%&#HEMA-1##LIS#WARD#20240307140512##ORU$R01#M9#P#2.4\n"
                                  "PID#1####Smith%T%Jones$Ann\n"
                                  "OBR#1##S-9\n"
                                  "OBX#1#ST#NOTE$Comment##a|b^c%F%d%S%e%E%f%X4142%g%H%h#u&v\n";
const QDateTime kNow(QDate(2024, 3, 7), QTime(14, 6));

QByteArray framed(const QByteArray& message)
{
    return '\x0b' + message + "\x1c\r";
}

// A link with everything it says written down; answers each message as the
// program does when `answering`: accepted when it reads, else refused.
struct Recorded {
    MllpLink link;
    QList<QByteArray> received, sent;
    QStringList events;
    bool answering = false;

    Recorded()
    {
        QObject::connect(&link, &MessageLink::send, [this](const QByteArray& b) { sent += b; });
        QObject::connect(&link, &MessageLink::event, [this](const QString& e) { events += e; });
        QObject::connect(&link, &MessageLink::messageReceived, [this](const QByteArray& text) {
            received += text;
            if (!answering)
                return;
            const auto parsed = Hl7Parser::parse(text);
            if (const auto* e = std::get_if<MessageError>(&parsed))
                link.refuse(e->reason);
            else
                link.accept();
        });
    }
};
} // namespace

class TstHl7 : public QObject {
    Q_OBJECT
private slots:
    void init() { Clock::pin(kNow); }
    void cleanup() { Clock::setSource({}); }

    // Whole, byte by byte and cut at every point: the same two messages, in
    // order, each handed up once the one before is answered.
    void everySplitPoint()
    {
        for (const QByteArrayList& pieces : everySplit(framed(kResults) + framed(kSecond))) {
            Recorded r;
            r.answering = true;
            for (const QByteArray& p : pieces)
                r.link.feed(p);
            QCOMPARE(r.received, (QList<QByteArray>{kResults, kSecond}));
            QCOMPARE(r.sent.size(), 2);
            QVERIFY2(r.events.isEmpty(), qPrintable(r.events.join(u'\n')));
        }
    }

    // Segments ended by CR, LF or CR LF read alike; a note belongs to the
    // segment before it. A sender's own delimiters: escapes are undone after
    // the split. Where and why a text is refused.
    void readings_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("read");
        const QString results =
            u"HEMA-1 2024-03-07T14:05:12\n"
            "S-24031 / Moreau, Anne Claire\n"
            "WBC^White blood cells^L|6.40|10*3/uL|4.00-10.00|N|F|2024-03-07T14:01:00\n"
            "PLT^Platelets^L|512|10*3/uL|150-400|H A|F|2024-03-07T14:01:05 // checked\n"
            "ORD-882 / Moreau, Anne Claire\n"
            "CRP^C-reactive protein|<5|mg/L|0-5||F|"_s;
        QTest::newRow("CR") << kResults << results;
        QTest::newRow("LF") << QByteArray(kResults).replace('\r', '\n') << results;
        QTest::newRow("CR LF") << QByteArray(kResults).replace("\r", "\r\n") << results;
        QTest::newRow("own delimiters") << kOwnDelimiters
                                        << u"HEMA-1 2024-03-07T14:05:12\n"
                                           "S-9 / Smith&Jones, Ann\n"
                                           "NOTE^Comment|a|b^c#d$e%fABg%H%h|u||||"_s;
        const QByteArray msh = "MSH|^~\\&|A||||20240307||ORU^R01|C1|P|2.5\r";
        const auto refused = [](const char* name, const QByteArray& text, const QString& read) {
            QTest::newRow(name) << text << u"error at "_s + read;
        };
        refused("empty", "\r\n", u"0: empty message"_s);
        refused("no MSH", "PID|1\r" + msh, u"1: the message does not start with an MSH segment"_s);
        refused("delimiters twice", "MSH|^^\\&|A\r",
                u"1: MSH-2 encoding characters are not distinct, printable, non-alphanumeric "
                "characters"_s);
        refused("no control id", QByteArray(msh).replace("C1", ""),
                u"1: MSH-10 message control id is empty"_s);
        refused("OBX first", msh + "PID|1\rOBX|1|NM|X||1\r", u"3: OBX before any OBR"_s);
        refused("OBX of the next patient", msh + "OBR|1|A1\rPID|2\rOBX|1|NM|X||1\r",
                u"4: OBX before any OBR"_s);
        refused("no specimen", msh + "OBR|1\r",
                u"2: OBR has no specimen id (OBR-3 and OBR-2 are empty)"_s);
        refused("two messages", msh + msh, u"2: a second MSH segment: one message at a time"_s);
        refused("bad sent", QByteArray(msh).replace("20240307", "2024-03-07"),
                u"1: MSH-7 is no date-time of the form YYYYMMDDHHMMSS"_s);
    }
    void readings()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, read);
        QCOMPARE(summary(Hl7Parser::parse(text)), read);
    }

    void answers()
    {
        Recorded r;
        r.link.feed(framed(kResults) + framed(kSecond));
        QCOMPARE(r.received, QList<QByteArray>{kResults});
        QVERIFY(r.sent.isEmpty());
        r.link.accept();
        QCOMPARE(r.sent,
                 QList<QByteArray>{"\x0bMSH|^~\\&|LIS|WARD|HEMA-1|LAB2|20240307140600||ACK^R01^ACK|"
                                   "20240307140600000|P|2.5.1\rMSA|AA|M0417\r\x1c\r"});
        QCOMPARE(r.received, (QList<QByteArray>{kResults, kSecond}));
        r.link.refuse(u"sample S-24032^1 unknown\nretry|later"_s);
        QVERIFY(r.sent.value(1).endsWith(
            "\rMSA|AE|M0418|sample S-24032\\S\\1 unknown\\X0A\\retry\\F\\later\r\x1c\r"));
        r.link.accept(); // nothing waits: no answer goes out
        QCOMPARE(r.sent.size(), 2);
        // The laboratory busy: try again later, never the server's own words.
        r.link.feed(framed(kSecond));
        r.link.refuse(u"database busy, send again"_s, true);
        QVERIFY(r.sent.value(2).endsWith("\rMSA|AR|M0418|database busy, send again\r\x1c\r"));
        QCOMPARE(r.events.size(), 1);

        // Not a result message: refused in its own terms.
        const auto adt = Hl7Parser::parse(kAdmission);
        QCOMPARE(std::get<MessageError>(adt).reason,
                 u"message type ADT^A01 is not a result message (ORU^R01)"_s);
        QVERIFY(Hl7Parser::ack(kAdmission, false, std::get<MessageError>(adt).reason)
                    .endsWith("|ACK^A01^ACK|20240307140600000|P|2.4\rMSA|AE|C7|message type "
                              "ADT\\S\\A01 is not a result message (ORU\\S\\R01)\r"));
        // A batch: refused (AR) in its own header's terms.
        const QByteArray batch = "BHS|^~\\&|HEMA-1|LAB2|LIS|WARD|20240307||||B77\r" + kSecond;
        const auto read = Hl7Parser::parse(batch);
        QVERIFY(std::get<MessageError>(read).unsupported);
        QCOMPARE(Hl7Parser::reply(batch, "AR", std::get<MessageError>(read).reason),
                 "MSH|^~\\&|LIS|WARD|HEMA-1|LAB2|20240307140600||ACK|20240307140600000|P|2.3\r"
                 "MSA|AR|B77|batches (FHS, BHS) are not taken: send each message alone\r");
        // In the sender's own delimiters.
        QCOMPARE(Hl7Parser::ack(kOwnDelimiters, false, u"x#y$z"_s),
                 "MSH#$*%&#LIS#WARD#HEMA-1##20240307140600##ACK$R01$ACK#20240307140600000#P#2.4\r"
                 "MSA#AE#M9#x%F%y%S%z\r");
        // No MSH at all: default delimiters, no control id, never an AA.
        QCOMPARE(Hl7Parser::ack("PID|1|", true),
                 "MSH|^~\\&|||||20240307140600||ACK|20240307140600000|P|2.3\r"
                 "MSA|AE||the message does not start with an MSH segment\r");
    }

    // Local analyser time as sent; an offset is read and dropped; a text
    // that is no date is refused.
    void dates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read");
        for (const char* row :
             {"2024 -> 2024-01-01T00:00:00.000", "20240307 -> 2024-03-07T00:00:00.000",
              "2024030714 -> 2024-03-07T14:00:00.000",
              "20240307140512.1 -> 2024-03-07T14:05:12.100",
              "20240307140512-0500 -> 2024-03-07T14:05:12.000",
              "202403071405+1345 -> 2024-03-07T14:05:00.000", "20240230 -> error at 3",
              "2024030714051 -> error at 3", "20240307140512+05 -> error at 3",
              "202403071405.5 -> error at 3", "2024-03-07 -> error at 3"}) {
            const QStringList textRead = QString::fromLatin1(row).split(u" -> "_s);
            QTest::newRow(row) << textRead[0] << textRead[1];
        }
    }
    void dates()
    {
        QFETCH(QString, text);
        QFETCH(QString, read);
        const auto result = Hl7Parser::parse(
            "MSH|^~\\&|A||||||ORU^R01|C1|P|2.5\rOBR|1|A1\rOBX|1|NM|X||1||||||F|||" +
            text.toLatin1());
        const auto* m = std::get_if<InstrumentMessage>(&result);
        QCOMPARE(m ? m->samples[0].results[0].completed.toString(Qt::ISODateWithMs)
                   : u"error at %1"_s.arg(std::get<MessageError>(result).at),
                 read);
    }

    void framingFaults()
    {
        {
            // Junk before the start byte: one line, the message still comes.
            Recorded r;
            r.link.feed("\x05\x05 noise" + framed(kSecond));
            r.link.feed("\r\n" + framed(kSecond));
            QCOMPARE(r.received, QList<QByteArray>{kSecond});
            QCOMPARE(r.events, QStringList{u"bytes outside a message dropped up to the next start "
                                           u"byte, the first 0x05"_s});
        }
        for (const bool timedOut : {false, true}) {
            // A half message, then the connection drops, or it stays open
            // 30 s after its start byte: nothing comes of it, nor of the
            // late rest; the next message does.
            Clock::pin(kNow);
            Recorded r;
            r.link.feed(framed(kResults).left(100));
            QCOMPARE(r.link.nextDue(), kNow.addSecs(30));
            if (timedOut) {
                Clock::advance(29999);
                r.link.tick();
                QVERIFY(r.events.isEmpty());
                Clock::advance(1);
                r.link.tick();
                QCOMPARE(r.events.size(), 1);
            } else {
                r.link.reset();
            }
            QVERIFY(!r.link.nextDue().isValid());
            r.link.feed(kResults.mid(99) + "\x1c\r" + framed(kSecond));
            QCOMPARE(r.received, QList<QByteArray>{kSecond});
            QCOMPARE(r.events.size(), timedOut ? 1 : 2);
        }
        {
            // A start byte inside a message starts it again; the longest
            // message passes, one byte more is refused (AR) in its turn.
            Recorded r;
            r.answering = true;
            const QByteArray longest =
                kSecond + QByteArray(MllpLink::kLongestMessage - kSecond.size(), 'a');
            r.link.feed("\x0bMSH|^~\\&" + framed(kSecond) + framed(longest) +
                        framed(longest + 'a') + framed(kSecond));
            QCOMPARE(r.received, (QList<QByteArray>{kSecond, longest, kSecond}));
            QCOMPARE(r.events.size(), 2);
            QCOMPARE(r.sent.size(), 4);
            QVERIFY2(r.sent[2].contains("\rMSA|AR|M0418|message longer than 1048576 bytes\r"),
                     r.sent[2].constData());
        }
        {
            // Pipelined past the queue: every message answered, in order.
            Recorded r;
            QByteArray all;
            for (int n = 0; n < 300; ++n)
                all += framed(QByteArray(kSecond).replace("M0418", "N" + QByteArray::number(n)));
            r.link.feed(all);
            QCOMPARE(r.received.size(), 1);
            for (int n = 0; n < 300; ++n) {
                r.link.accept();
                QVERIFY(r.sent.value(n).contains("MSA|AA|N" + QByteArray::number(n) + '\r'));
            }
            QCOMPARE(r.sent.size(), 300);
            QVERIFY(r.events.isEmpty());
        }
    }

    // Damaged messages through the link and the parser:
    // no crash, and an answer is always two CR-ended segments.
    void fuzz()
    {
        QRandomGenerator rng(20240307);
        const QByteArray alphabet = "\x0b\x1c\r\n|^~\\&#$%MSHOBXPIDR01.+-0123456789";
        const QList<QByteArray> seeds = {kResults, kSecond, kAdmission, framed(kResults)};
        Recorded r;
        r.answering = true;
        const auto byte = [&] {
            return rng.bounded(2) ? alphabet[rng.bounded(int(alphabet.size()))]
                                  : char(rng.bounded(256));
        };
        for (int i = 0; i < 3000; ++i) {
            const QByteArray input = mutated(seeds[rng.bounded(int(seeds.size()))], rng, byte);
            Hl7Parser::parse(input);
            const QByteArray answer =
                Hl7Parser::ack(input, rng.bounded(2), QString::fromLatin1(input));
            QVERIFY(answer.startsWith("MSH") && answer.contains("\rMSA"));
            QCOMPARE(answer.count('\r') + answer.count('\n'), 2);
            const qsizetype cut = rng.bounded(int(input.size()) + 1);
            r.link.feed(input.left(cut));
            r.link.feed(input.mid(cut));
            if (rng.bounded(10) == 0)
                r.link.reset();
            Clock::advance(rng.bounded(20000));
            r.link.tick();
        }
        r.link.reset();
        r.received.clear();
        r.link.feed(framed(kResults));
        QCOMPARE(r.received, QList<QByteArray>{kResults});
    }
};

QTEST_GUILESS_MAIN(TstHl7)
#include "tst_hl7.moc"
