#include "instrument/astm/E1381Link.h"
#include "instrument/astm/E1394Parser.h"
#include "platform/Clock.h"
#include "tests/support/AstmFrames.h"
#include "tests/support/EverySplit.h"
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
// Our answer to a query: a record over 240 characters needs six frames, so the
// message's frame numbers run past 7 to 0.
const QByteArrayList kAnswer = {"H|\\^&", "P|1", "O|1|105||" + QByteArray(1200, 'x'), "L|1|N"};
// How a script's trace shows the control bytes the link sends.
const QHash<char, QString> kShort = {{'\x04', "T"}, {'\x05', "E"}, {'\x06', "A"}, {'\x15', "N"}};
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
        for (const QByteArrayList& pieces : everySplit(ENQ + frames.join() + EOT)) {
            Line line;
            for (const QByteArray& piece : pieces)
                line.link.feed(piece);
            QCOMPARE(line.answers, ACK.repeated(int(frames.size()) + 1));
            QCOMPARE(line.messages, (QByteArrayList{message(chemistry), message(second)}));
            QCOMPARE(line.events, QStringList());
            QVERIFY(!line.link.nextDue().isValid());
        }
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

    // Scripts of what the analyser and the program do, one step a word:
    // ENQ, EOT, ACK, NAK, a frame of the short message (f0..f3), the same
    // numbered from 3 (g0..g3), or the first eight bytes of f3 and the rest
    // (f3.head, f3.tail) are fed to the link; "+ms" lets that time pass; accept,
    // refuse, reset and send (queue kAnswer) are the program's, hold stops
    // accepting each message as it comes; due and out show the seconds to
    // the link's next tick and the messages it has to send. After a step
    // ">" shows what the link did: bytes it sent (A N E T, o0.. for the
    // frames of kAnswer), M for the short message handed up, ! an event.
    void scripts_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QStringList>("events");
        // The frame completing a message waits for the program, untimed;
        // refused, it is resent and handed up again; accepted, it stays so
        // when EOT never comes.
        QTest::newRow("terminator frame awaits the program")
            << "hold ENQ f0 f1 f2 f3 due +600000 refuse f3 accept due +30000 ENQ"
            << "hold ENQ>A f0>A f1>A f2>A f3>M due>- +600000 refuse>N! f3>M accept>A due>30 "
               "+30000>! ENQ>A"
            << QStringList{"NAK: message refused: store unavailable",
                           "no frame or EOT for 30 s: session closed"};
        // A session that ends before its L record (EOT, a new ENQ, 30 s
        // without a frame, the connection dropped) hands nothing up and
        // leaves nothing behind for the next message, nor does the analyser
        // starting its message over within the session; dropped while the
        // program decides, its answer goes nowhere.
        QTest::newRow("unfinished messages are dropped")
            << "ENQ f0 f1 EOT ENQ f0 f1 ENQ f0 f1 due +29999 +1 due f2 ENQ f0 f1 f2 f3.head reset "
               "f3.tail ENQ f0 f1 f2 f3 EOT ENQ f0 f1 g0 g1 g2 g3 EOT hold ENQ f0 f1 f2 f3 reset "
               "accept"
            << "ENQ>A f0>A f1>A EOT>! ENQ>A f0>A f1>A ENQ>A! f0>A f1>A due>30 +29999 +1>! due>- "
               "f2>! ENQ>A f0>A f1>A f2>A f3.head reset>! f3.tail>! ENQ>A f0>A f1>A f2>A f3>AM EOT "
               "ENQ>A f0>A f1>A g0>A! g1>A g2>A g3>AM EOT hold ENQ>A f0>A f1>A f2>A f3>M reset>! "
               "accept>!"
            << QStringList{
                   "session ended before the terminator record: unfinished message dropped",
                   "ENQ during a session before the terminator record: unfinished message dropped",
                   "no frame or EOT for 30 s before the terminator record: unfinished message "
                   "dropped",
                   "bytes outside a session ignored (first 0x02)",
                   "session ended before the terminator record: unfinished message dropped",
                   "bytes outside a session ignored (first 0x03)",
                   "header record before the terminator: unfinished message dropped",
                   "session ended while the last frame awaited the program: it goes unanswered",
                   "accept with no message awaiting an answer: ignored"};
        // The answer to a query waits for the analyser's session to end,
        // then goes out frame by frame: a record over 240 characters in six
        // frames, a refused frame sent again, the message closed with EOT.
        QTest::newRow("answers go out when the line is free")
            << "ENQ f0 send f1 f2 f3 EOT ACK ACK NAK ACK ACK ACK ACK ACK ACK ACK ACK out due"
            << "ENQ>A f0>A send f1>A f2>A f3>AM EOT>E ACK>o0 ACK>o1 NAK>o1 ACK>o2 ACK>o3 ACK>o4 "
               "ACK>o5 ACK>o6 ACK>o7 ACK>o8 ACK>T out>0 due>-"
            << QStringList{};
        // The analyser's crossing ENQ wins and ours is tried 20 s after its
        // session; an ENQ never answered is closed with EOT and tried again
        // every 10 s, 6 times; a frame refused 6 times drops the message and
        // the next one goes on.
        const QString again = u"no answer to our ENQ in 15 s: trying again in 10 s"_s;
        QTest::newRow("sending yields, retries and gives up")
            << "send ENQ f0 f1 f2 f3 EOT due +20000 +15000 +10000 +15000 +10000 +15000 +10000 "
               "+15000 +10000 +15000 +10000 +15000 out send send +10000 ACK NAK NAK NAK NAK NAK "
               "NAK out +10000 ACK ACK ACK ACK ACK ACK ACK ACK ACK ACK out"
            << "send>E ENQ>A! f0>A f1>A f2>A f3>AM EOT due>20 +20000>E +15000>T! +10000>E "
               "+15000>T! +10000>E +15000>T! +10000>E +15000>T! +10000>E +15000>T! +10000>E "
               "+15000>T! out>0 send>E send +10000 ACK>o0 NAK>o0 NAK>o0 NAK>o0 NAK>o0 NAK>o0 "
               "NAK>T! out>1 +10000>E ACK>o0 ACK>o1 ACK>o2 ACK>o3 ACK>o4 ACK>o5 ACK>o6 ACK>o7 "
               "ACK>o8 ACK>T out>0"
            << QStringList{"the analyser's ENQ crossed ours: its session goes first",
                           again,
                           again,
                           again,
                           again,
                           again,
                           "no answer to our ENQ in 15 s (6 tries): message for the analyser "
                           "dropped",
                           "frame 1 refused 6 times: message for the analyser dropped"};
    }
    void scripts()
    {
        QFETCH(QString, script);
        QFETCH(QString, trace);
        QFETCH(QStringList, events);
        const QByteArrayList g = framesOf(shortMessage, 240, 3), o = framesOf(kAnswer);
        QHash<QString, QByteArray> input = {{"ENQ", ENQ}, {"EOT", EOT}, {"ACK", ACK}, {"NAK", NAK}};
        for (int n = 0; n < 4; ++n) {
            input[u"f%1"_s.arg(n)] = f[n];
            input[u"g%1"_s.arg(n)] = g[n];
        }
        input[u"f3.head"_s] = f[3].left(8);
        input[u"f3.tail"_s] = f[3].mid(8);
        Line line;
        const QHash<QString, std::function<void()>> program = {
            {"hold", [&] { line.autoAccept = false; }},
            {"accept", [&] { line.link.accept(); }},
            {"refuse", [&] { line.link.refuse(u"store unavailable"_s); }},
            {"reset", [&] { line.link.reset(); }},
            {"send", [&] { line.link.sendMessage(kAnswer); }}};
        QStringList seen;
        for (const QString& step : script.split(u' ')) {
            const qsizetype messages = line.messages.size(), logged = line.events.size();
            const QDateTime due = line.link.nextDue();
            line.answers.clear();
            QString shown;
            if (step.startsWith(u'+')) {
                Clock::advance(step.toInt());
                line.link.tick();
            } else if (step == u"due") {
                shown = due.isValid() ? QString::number(Clock::now().secsTo(due)) : u"-"_s;
            } else if (step == u"out") {
                shown = QString::number(line.link.outgoing());
            } else if (program.contains(step)) {
                program[step]();
            } else {
                QVERIFY2(input.contains(step), qPrintable(step));
                line.link.feed(input[step]);
            }
            for (qsizetype at = 0; at < line.answers.size();) {
                const auto sent = std::find_if(o.begin(), o.end(), [&](const QByteArray& frame) {
                    return line.answers.mid(at).startsWith(frame);
                });
                shown += sent == o.end() ? kShort.value(line.answers[at], u"?"_s)
                                         : u"o%1"_s.arg(sent - o.begin());
                at += sent == o.end() ? 1 : sent->size();
            }
            for (const QByteArray& m : line.messages.mid(messages))
                shown += m == message(shortMessage) ? u"M"_s : u"M?"_s;
            shown += QString(u'!').repeated(line.events.size() - logged);
            seen += shown.isEmpty() ? step : step + u'>' + shown;
        }
        QCOMPARE(seen.join(u' '), trace);
        QCOMPARE(line.events, events);
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
        // Where and why a text is refused.
        const QByteArray h = "H|\\^&\r";
        const QString noDate = u" is no date and time (YYYYMMDD[HHMM[SS]])"_s;
        const QString noOrder =
            u"error at %1: result (R) record before any order (O) record of its patient"_s;
        QTest::newRow("empty") << QByteArray("\r\n") << "error at 0: the message holds no records";
        QTest::newRow("no header")
            << QByteArray("P|1\rL|1\r")
            << "error at 1: the message does not start with a header (H) record";
        QTest::newRow("delimiters") << QByteArray("H|||&\rL|1\r")
                                    << "error at 1: the header record declares unusable delimiters "
                                       "(four different, no letters or digits)";
        QTest::newRow("second header") << h + h + "L|1\r"
                                       << "error at 2: a second header (H) record";
        QTest::newRow("result first") << h + "P|1\rR|1|^^^1|5\rL|1\r" << noOrder.arg(3);
        QTest::newRow("result of the previous patient")
            << h + "P|1\rO|1|S1\rP|2\rR|1|^^^1|5\rL|1\r" << noOrder.arg(5);
        QTest::newRow("after terminator") << h + "L|1\rR|1\r"
                                          << "error at 3: record after the terminator (L) record";
        QTest::newRow("unknown") << h + "Z|1\rL|1\r"
                                 << "error at 2: unknown record type 'Z'";
        QTest::newRow("bad date") << QByteArray("H|\\^&|||A|||||||P|1|20241307\rL|1\r")
                                  << "error at 1: H-14" + noDate;
        QTest::newRow("hour alone")
            << QByteArray("H|\\^&|||A|||||||P|1|2024030714\rL|1\r") << "error at 1: H-14" + noDate;
        QTest::newRow("bad time") << h + "O|1|S\rR|1|^^^1|5|||||||||202403072561\rL|1\r"
                                  << "error at 3: R-13" + noDate;
        QTest::newRow("no terminator") << h + "O|1|S\r"
                                       << "error at 0: the message has no terminator (L) record";
    }
    void parsedMessages()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, read);
        QCOMPARE(summary(E1394Parser::parse(text)), read);
    }

    // Mutated sessions through the link (answered at random)
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
            const QByteArray input = mutated(session, rng, byte);
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
            const auto result = E1394Parser::parse(mutated(message(chemistry), rng, byte));
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
