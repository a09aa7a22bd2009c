#include "instrument/astm/E1381Link.h"
#include "instrument/astm/E1394Parser.h"
#include "platform/Clock.h"
#include "tests/support/AstmFrames.h"
#include "tests/support/InstrumentSummary.h"
#include "tests/support/Mutations.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray STX("\x02"), ENQ("\x05"), EOT("\x04"), ACK("\x06"), NAK("\x15");
constexpr char ETX = AstmFrames::kEtx, ETB = AstmFrames::kEtb;
using AstmFrames::frame;
using AstmFrames::framesOf;

QByteArray message(const QByteArrayList& records)
{
    return records.join('\r') + '\r';
}

// A link seen from the analyser's side: what it answered, handed up and logged.
struct Line {
    E1381Link link;
    QByteArray answers;
    QByteArrayList messages;
    QStringList events;
    bool autoAccept = true;

    Line()
    {
        QObject::connect(&link, &MessageLink::send, [this](const QByteArray& b) { answers += b; });
        QObject::connect(&link, &MessageLink::event, [this](const QString& l) { events += l; });
        QObject::connect(&link, &MessageLink::messageReceived, [this](const QByteArray& m) {
            messages += m;
            if (autoAccept)
                link.accept();
        });
    }
    bool logged(const QString& words) const { return events.join(u'\n').contains(words); }
};

// A chemistry analyser's upload: two samples, test ids in the fourth
// component, a comment between results.
const QByteArrayList chemistry = {
    "H|\\^&|||ChemAnalyzer^3.2|||||||P|1|20240307142233",
    "P|1||PID-77||Doe^John^Q||19700101|M",
    "O|1|^S-1001^||^^^413\\^^^418|R||||||N",
    "C|1|L|haemolysed^slightly|G",
    "R|1|^^^413|12.50|mmol/L|10.0 to 20.0|H\\A||F||||202403071415",
    "C|1|I|checked on rerun|G",
    "R|2|^^^418|0.8|mg/dL|||N|F||||20240307",
    "O|2|S-1002||^^^413|R",
    "R|1|^^^413|7.1|mmol/L||||F",
    "L|1|N",
};
const QByteArrayList shortMessage = {"H|\\^&|||ChemAnalyzer^3.2", "O|1|S-1017||^^^413|R",
                                     "R|1|^^^413|12.50|mmol/L||H||F", "L|1|N"};
} // namespace

class TstAstm : public QObject {
    Q_OBJECT
    const QByteArrayList f = framesOf(shortMessage);
    // Frame 2 with a checksum digit spoilt.
    const QByteArray badSum =
        f[1].chopped(3) + (f[1].at(f[1].size() - 3) == '0' ? '1' : '0') + f[1].right(2);

private slots:
    void init() { Clock::pin(QDateTime(QDate(2024, 3, 7), QTime(9, 0), Qt::UTC)); }
    void cleanupTestCase() { Clock::setSource({}); }

    // Two messages in one session (H after L without a new ENQ, here in the
    // same frame), records over several frames, frame numbers past 7, a frame
    // far over 240 characters: fed whole, a byte at a time and split in two
    // at every point.
    void wholeSessionAtEverySplit()
    {
        const QByteArrayList second = {"H|\\^&|||ChemAnalyzer^3.2", "O|1|S-1003",
                                       "C|1|I|" + QByteArray(1000, 'c') + "|G", "L|1|N"};
        QByteArrayList records = chemistry;
        records.last() += '\r' + second.first();
        const QByteArrayList first = framesOf(records, 100);
        const QByteArrayList frames = first + framesOf(second.mid(1), 4096, int(first.size()) + 1);
        QVERIFY(frames.size() > 8);
        QVERIFY(frames.at(frames.size() - 2).size() > 1000);
        const QByteArray session = ENQ + frames.join() + EOT;
        const auto run = [&](const QList<qsizetype>& cuts) {
            Line line;
            qsizetype from = 0;
            for (const qsizetype cut : cuts + QList<qsizetype>{session.size()}) {
                line.link.feed(session.mid(from, cut - from));
                from = cut;
            }
            QCOMPARE(line.answers, ACK.repeated(int(frames.size()) + 1));
            QCOMPARE(line.messages, (QByteArrayList{message(chemistry), message(second)}));
            QCOMPARE(line.events, QStringList());
            QVERIFY(!line.link.nextDue().isValid());
        };
        run({});
        QList<qsizetype> everyByte;
        for (qsizetype at = 1; at < session.size(); ++at)
            everyByte += at;
        run(everyByte);
        for (qsizetype at = 1; at < session.size() && !QTest::currentTestFailed(); ++at)
            run({at});
    }

    // A frame spoilt on the way is refused and its resend taken; one sent
    // again because our ACK was lost (here with its checksum in lower case,
    // which is just as good) is acknowledged again and added once. The same
    // for the terminator's frame after the message was accepted.
    void badOrRepeatedFrames_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<QString>("words");
        QTest::newRow("checksum") << badSum << "bad checksum";
        QTest::newRow("no CR LF") << f[1].chopped(2) << "missing CR LF";
        QTest::newRow("LF without CR") << f[1].chopped(2) + '\n' << "missing CR LF";
        QTest::newRow("no checksum") << STX + "2O|1\r\x03\r\n"
                                     << "without its checksum";
        QTest::newRow("no ETX") << STX + "2O|1\r\n"
                                << "without ETB or ETX";
        QTest::newRow("STX lost") << f[1].mid(1) << "outside a frame";
        QTest::newRow("too long") << frame(2, QByteArray(70'000, 'x')) << "too long";
        QTest::newRow("ACK lost") << f[1].left(f[1].size() - 4) + f[1].right(4).toLower()
                                  << "sent again";
    }
    void badOrRepeatedFrames()
    {
        QFETCH(QByteArray, bad);
        QFETCH(QString, words);
        Line line;
        line.link.feed(ENQ + f[0] + bad + f[1] + f[2] + f[3] + f[3] + EOT);
        const QByteArray toBad = words == u"sent again" ? ACK : NAK;
        QCOMPARE(line.answers, ACK + ACK + toBad + ACK.repeated(4));
        QCOMPARE(line.messages, QByteArrayList{message(shortMessage)});
        QVERIFY2(line.logged(words) &&
                     line.events.filter("sent again").size() == 1 + (toBad == ACK),
                 qPrintable(line.events.join(u'\n')));
        QVERIFY(line.link.buffered() < 100);
    }

    // Frame numbers that say frames were lost: the message is refused from
    // there on and nothing of it is joined to what follows, whatever number
    // comes next; the analyser's resend in a new session is taken whole.
    void frameNumberFaults_data()
    {
        QTest::addColumn<QByteArrayList>("frames");
        QTest::addColumn<QByteArray>("answers");
        QTest::newRow("skip") << QByteArrayList{f[0], frame(3, "O|1|S-1017\r"), f[1], f[2], f[3]}
                              << ACK + ACK + NAK.repeated(4);
        QTest::newRow("previous number, other text")
            << QByteArrayList{f[0], frame(1, "O|1|S-1017\r"), f[1], f[2], f[3]}
            << ACK + ACK + NAK.repeated(4);
        QTest::newRow("past 7 not wrapped")
            << f.mid(0, 3) + framesOf({"C|1", "C|2", "C|3", "C|4"}, 240, 4) +
                   QByteArrayList{STX + "8C|5\r\x03" + frame(0, "C|5\r").right(4), f[3]}
            << ACK.repeated(8) + NAK + NAK;
        QTest::newRow("wrong number after a NAK")
            << QByteArrayList{f[0], badSum, frame(3, "R|1|^^^413|12.50\r"), f[1], f[2], f[3]}
            << ACK + ACK + NAK.repeated(5);
        QTest::newRow("sixth NAK") << QByteArrayList{f[0],   badSum, badSum, badSum, badSum,
                                                     badSum, badSum, f[1],   f[2],   f[3]}
                                   << ACK + ACK + NAK.repeated(9);
        // As an analyser cut its records: the rest of one sample, numbered on
        // from a skipped frame, must never land on the first sample.
        QTest::newRow("records of another sample")
            << QByteArrayList{frame(1, "H|\\^&\r"),         frame(2, "P|1||||ONE\r"),
                              frame(3, "O|1|FB01\r"),       frame(4, "R|1|^^^GLU|5.1\r"),
                              frame(6, "P|2||||TWO\r"),     frame(7, "O|2|FB02\r"),
                              frame(0, "R|1|^^^HGB|140\r"), frame(1, "P|3||||THREE\r"),
                              frame(2, "O|3|FB03\r"),       frame(5, "R|1|^^^K|4.0\r"),
                              frame(6, "R|2|^^^CREA|80\r"), frame(7, "L|1|N\r")}
            << ACK.repeated(5) + NAK.repeated(8);
    }
    void frameNumberFaults()
    {
        QFETCH(QByteArrayList, frames);
        QFETCH(QByteArray, answers);
        Line line;
        line.link.feed(ENQ + frames.join());
        QCOMPARE(line.answers, answers);
        QVERIFY(line.messages.isEmpty());
        line.link.feed(EOT + ENQ + f.join() + EOT);
        QCOMPARE(line.messages, QByteArrayList{message(shortMessage)});
        QCOMPARE(line.answers, answers + ACK.repeated(5));
    }

    // The frame completing a message waits for the program, untimed; refused,
    // it is resent and handed up again; accepted, it stays so when EOT never
    // comes.
    void terminatorFrameAwaitsTheProgram()
    {
        Line line;
        line.autoAccept = false;
        line.link.feed(ENQ + f[0] + f[1] + f[2] + f[3]);
        QCOMPARE(line.answers, ACK.repeated(4));
        QCOMPARE(line.messages.size(), 1);
        QVERIFY(!line.link.nextDue().isValid());
        Clock::advance(600'000);
        line.link.tick();
        QCOMPARE(line.answers, ACK.repeated(4));

        line.link.refuse(u"store unavailable"_s);
        QCOMPARE(line.answers, ACK.repeated(4) + NAK);
        QVERIFY(line.logged(u"store unavailable"_s));
        line.link.feed(f[3]);
        QCOMPARE(line.messages, QByteArrayList(2, message(shortMessage)));
        line.link.accept();
        QCOMPARE(line.answers, ACK.repeated(4) + NAK + ACK);
        QCOMPARE(line.link.nextDue(), Clock::now().addSecs(30));

        Clock::advance(30'000);
        line.link.tick();
        QVERIFY(line.logged(u"no frame or EOT"_s));
        QVERIFY(!line.logged(u"dropped"_s));
        QCOMPARE(line.messages.size(), 2);
        line.link.feed(ENQ);
        QCOMPARE(line.answers, ACK.repeated(4) + NAK + ACK + ACK);
    }

    // A session that ends before its L record (EOT, a new ENQ, 30 s without
    // a frame, the connection dropped) hands nothing up and leaves nothing
    // behind for the next message.
    void unfinishedMessagesAreDropped()
    {
        Line line;
        line.link.feed(ENQ + f[0] + f[1] + EOT);
        line.link.feed(ENQ + f[0] + f[1] + ENQ);
        QCOMPARE(line.answers, ACK.repeated(7));
        QVERIFY(line.messages.isEmpty());
        line.link.feed(f[0] + f[1]);
        QCOMPARE(line.link.nextDue(), Clock::now().addSecs(30));
        Clock::advance(29'999);
        line.link.tick();
        QCOMPARE(line.events.size(), 2);
        Clock::advance(1);
        line.link.tick();
        QVERIFY(line.logged(u"no frame or EOT for 30 s"_s));
        QVERIFY(!line.link.nextDue().isValid());
        line.link.feed(f[2]); // too late: not answered
        line.link.feed(ENQ + f[0] + f[1] + f[2] + f[3].left(8));
        line.link.reset();
        line.link.feed(f[3].mid(8));
        QCOMPARE(line.answers, ACK.repeated(13));
        QVERIFY(line.messages.isEmpty());
        QCOMPARE(line.events.filter(u"unfinished message dropped"_s).size(), 4);

        line.link.feed(ENQ + f.join() + EOT);
        QCOMPARE(line.messages, QByteArrayList{message(shortMessage)});
        // The analyser starts the message over within the session.
        line.link.feed(ENQ + f[0] + f[1] + framesOf(shortMessage, 240, 3).join() + EOT);
        QCOMPARE(line.messages, QByteArrayList(2, message(shortMessage)));
        // Dropped while the program decides: its answer goes nowhere.
        line.autoAccept = false;
        line.link.feed(ENQ + f.join());
        line.link.reset();
        line.link.accept();
        QCOMPARE(line.answers, ACK.repeated(13 + 5 + 7 + 4));
    }

    // The answer to a query waits for the analyser's session to end, then
    // goes out frame by frame: a record over 240 characters in two frames, a
    // refused frame sent again, the message closed with EOT.
    void answersGoOutWhenTheLineIsFree()
    {
        const QByteArrayList answer = {"H|\\^&", "P|1", "O|1|105||" + QByteArray(300, 'x'),
                                       "L|1|N"};
        const QByteArrayList out = framesOf(answer);
        QCOMPARE(out.size(), 5);
        Line line;
        line.link.feed(ENQ + f[0]);
        line.link.sendMessage(answer);
        QCOMPARE(line.answers, ACK.repeated(2));
        line.link.feed(f[1] + f[2] + f[3] + EOT);
        QCOMPARE(line.answers, ACK.repeated(5) + ENQ);
        line.answers.clear();
        line.link.feed(ACK + ACK + NAK + ACK + ACK + ACK);
        QCOMPARE(line.answers, out[0] + out[1] + out[1] + out[2] + out[3] + out[4]);
        line.link.feed(ACK);
        QCOMPARE(line.answers.right(1), EOT);
        QCOMPARE(line.link.outgoing(), 0);
        QVERIFY(!line.link.nextDue().isValid());
        QVERIFY(line.events.isEmpty());
    }

    // Contention and silence: the analyser's crossing ENQ wins and ours is
    // tried 20 s after its session; an ENQ never answered is closed with EOT
    // and tried again every 10 s, 6 times; a frame refused 6 times drops
    // the message and the next one goes on.
    void sendingYieldsRetriesAndGivesUp()
    {
        const QByteArrayList answer = {"H|\\^&", "L|1|I"};
        Line line;
        line.link.sendMessage(answer);
        QCOMPARE(line.answers, ENQ);
        line.link.feed(ENQ + f.join() + EOT);
        QCOMPARE(line.messages, QByteArrayList{message(shortMessage)});
        QCOMPARE(line.answers, ENQ + ACK.repeated(5));
        QCOMPARE(line.link.nextDue(), Clock::now().addSecs(20));
        Clock::advance(20'000);
        line.link.tick();
        QCOMPARE(line.answers, ENQ + ACK.repeated(5) + ENQ);

        line.answers.clear();
        for (int i = 0; i < 5; ++i) {
            Clock::advance(15'000);
            line.link.tick();
            Clock::advance(10'000);
            line.link.tick();
        }
        QCOMPARE(line.answers, (EOT + ENQ).repeated(5));
        Clock::advance(15'000);
        line.link.tick();
        QCOMPARE(line.answers, (EOT + ENQ).repeated(5) + EOT);
        QVERIFY(line.logged(u"no answer to our ENQ in 15 s (6 tries): message for "
                            "the analyser dropped"_s));
        QCOMPARE(line.link.outgoing(), 0);

        line.answers.clear();
        line.link.sendMessage(answer);
        line.link.sendMessage(answer);
        Clock::advance(10'000);
        line.link.tick();
        line.link.feed(ACK + NAK.repeated(6));
        const QByteArrayList out = framesOf(answer);
        QCOMPARE(line.answers, ENQ + out[0].repeated(6) + EOT);
        QVERIFY(line.logged(u"frame 1 refused 6 times"_s));
        QCOMPARE(line.link.outgoing(), 1);
        Clock::advance(10'000);
        line.link.tick();
        line.answers.clear();
        line.link.feed(ACK.repeated(3));
        QCOMPARE(line.answers, out.join() + EOT);
        QCOMPARE(line.link.outgoing(), 0);
    }

    // A chemistry analyser (also as export files write it, records ended by
    // CR LF or LF), and a haematology one with delimiters of its own: '^' is
    // plain text there, escapes use its own escape character.
    void parsedMessages_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("read");
        const QString chemistryRead = "ChemAnalyzer 2024-03-07T14:22:33\n"
                                      "S-1001 / Doe, John Q // haemolysed slightly\n"
                                      "^^^413|12.50|mmol/L|10.0 to 20.0|H A|F|2024-03-07T14:15:00"
                                      " // checked on rerun\n"
                                      "^^^418|0.8|mg/dL|||F|2024-03-07T00:00:00\n"
                                      "S-1002 / Doe, John Q\n"
                                      "^^^413|7.1|mmol/L|||F|";
        QTest::newRow("chemistry") << message(chemistry) << chemistryRead;
        QTest::newRow("CR LF") << chemistry.join("\r\n") << chemistryRead;
        QTest::newRow("LF") << chemistry.join('\n') << chemistryRead;
        QTest::newRow("haematology") << QByteArray("H!@~$!!!HaemaCount~1.4!!!!!!!P!1!202403071422\r"
                                                   "P!1!!!!Smith~Anna~Maria\r"
                                                   "O!1!~~HB-0042!!~~~~CBC\r"
                                                   "R!1!~~~~WBC~1!7.45!10^9/L!4.00-10.00!H@@A!!F\r"
                                                   "R!2!~~~~NOTE~1!a$F$b$S$c$R$d$E$e$H$f$\r"
                                                   "M!1!HaemaCount~histogram!0 4 9 13\r"
                                                   "L!1!N\r")
                                     << "HaemaCount 2024-03-07T14:22:00\n"
                                        "HB-0042 / Smith, Anna Maria\n"
                                        "^^^^WBC^1|7.45|10^9/L|4.00-10.00|H A|F|\n"
                                        "^^^^NOTE^1|a!b~c@d$e$H$f$|||||";
        // Host queries: the specimen id in the second component (or alone),
        // several as repeats; ALL asks for no specimen in particular.
        QTest::newRow("query") << message({"H|\\^&|||ChemAnalyzer^3.2",
                                           "Q|1|^105\\S-7&E&1||ALL||||||||O", "Q|2|ALL||ALL",
                                           "L|1|N"})
                               << "ChemAnalyzer \nasks for 105, S-7&1";
    }
    void parsedMessages()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, read);
        QCOMPARE(summary(E1394Parser::parse(text)), read);
    }

    void messageErrors_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("at");
        QTest::addColumn<QString>("words");
        const QByteArray h = "H|\\^&\r";
        QTest::newRow("empty") << QByteArray("\r\n") << 0 << "no records";
        QTest::newRow("no header") << QByteArray("P|1\rL|1\r") << 1 << "header";
        QTest::newRow("delimiters") << QByteArray("H|||&\rL|1\r") << 1 << "delimiters";
        QTest::newRow("second header") << h + h + "L|1\r" << 2 << "second";
        QTest::newRow("result first") << h + "P|1\rR|1|^^^1|5\rL|1\r" << 3 << "before any order";
        QTest::newRow("result of the previous patient")
            << h + "P|1\rO|1|S1\rP|2\rR|1|^^^1|5\rL|1\r" << 5 << "before any order";
        QTest::newRow("after terminator") << h + "L|1\rR|1\r" << 3 << "after";
        QTest::newRow("unknown") << h + "Z|1\rL|1\r" << 2 << "'Z'";
        QTest::newRow("bad date") << QByteArray("H|\\^&|||A|||||||P|1|20241307\rL|1\r") << 1
                                  << "H-14";
        QTest::newRow("hour alone")
            << QByteArray("H|\\^&|||A|||||||P|1|2024030714\rL|1\r") << 1 << "H-14";
        QTest::newRow("bad time") << h + "O|1|S\rR|1|^^^1|5|||||||||202403072561\rL|1\r" << 3
                                  << "R-13";
        QTest::newRow("no terminator") << h + "O|1|S\r" << 0 << "terminator";
    }
    void messageErrors()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, at);
        QFETCH(QString, words);
        const QString read = summary(E1394Parser::parse(text));
        QVERIFY2(read.startsWith(u"error at %1: "_s.arg(at)) && read.contains(words),
                 qPrintable(read));
    }

    // Random bytes and mutated sessions through the link (answered at random)
    // and the parser: no crash, nothing but ACK and NAK sent, buffers bounded.
    void fuzz()
    {
        QRandomGenerator rng(0x1381);
        const QByteArray session = ENQ + framesOf(chemistry, 60).join() + EOT;
        const QByteArray alphabet("\x02\x03\x04\x05\x17\r\n|\\^&HPORL0123456789");
        const auto pick = [&] { return alphabet.at(rng.bounded(int(alphabet.size()))); };
        const auto byte = [&] { return rng.bounded(2) ? pick() : char(rng.bounded(256)); };
        int readable = 0;
        for (int round = 0; round < 3000; ++round) {
            QByteArray input;
            if (round % 4 == 0) {
                for (int n = rng.bounded(600); n > 0; --n)
                    input += byte();
            } else {
                input = mutated(session, rng, byte);
            }
            Line line;
            line.autoAccept = false;
            QObject::connect(&line.link, &MessageLink::messageReceived, [&](const QByteArray& m) {
                E1394Parser::parse(m);
                if (rng.bounded(3) == 0)
                    line.link.refuse(u"try again"_s);
                else if (rng.bounded(4) != 0)
                    line.link.accept();
            });
            for (qsizetype at = 0; at < input.size();) {
                const int piece = rng.bounded(1, 80);
                line.link.feed(input.mid(at, piece));
                at += piece;
                if (rng.bounded(10) == 0) {
                    Clock::advance(rng.bounded(40'000));
                    line.link.tick();
                }
                if (rng.bounded(50) == 0)
                    line.link.accept();
            }
            QCOMPARE(line.answers.count(ACK) + line.answers.count(NAK), line.answers.size());
            QVERIFY(line.link.buffered() <= input.size());
            const auto result =
                E1394Parser::parse(round % 4 ? mutated(message(chemistry), rng, byte) : input);
            readable += std::holds_alternative<InstrumentMessage>(result);
        }
        QVERIFY(readable > 300); // the mutations reach past the header

        // A frame that never ends, a message that never ends.
        Line line;
        line.link.feed(ENQ + STX + QByteArray(200'000, 'x'));
        QVERIFY(line.link.buffered() <= E1381Link::MaxFrameText + 1);
        line.link.reset();
        line.link.feed(ENQ);
        for (int n = 1; n <= 80; ++n)
            line.link.feed(frame(n, QByteArray(60'000, 'x'), ETB));
        QVERIFY(line.logged(u"message too long"_s));
        QVERIFY(line.link.buffered() <= E1381Link::MaxMessage);
        QVERIFY(line.answers.endsWith(NAK));
    }
};

QTEST_GUILESS_MAIN(TstAstm)
#include "tst_astm.moc"
