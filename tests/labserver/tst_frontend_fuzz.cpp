#include "labserver/CommandParser.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/CommandExcerpt.h"
#include "platform/LisError.h"
#include "platform/SqlText.h"
#include "platform/db/Connection.h"
#include "tests/support/Caught.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>
#include <functional>
#include <optional>

// Commands read from a text compare part by part; null and empty are alike.
static bool operator==(const ObjectName& a, const ObjectName& b)
{
    return a.database == b.database && a.owner == b.owner && a.name == b.name;
}
static bool operator==(const Condition& a, const Condition& b)
{
    return a.column == b.column && a.like == b.like && a.value == b.value;
}
static bool operator==(const ProcedureCall& a, const ProcedureCall& b)
{
    return a.procedure == b.procedure && a.arguments == b.arguments;
}
static bool operator==(const SelectAll& a, const SelectAll& b)
{
    return a.table == b.table && a.conditions == b.conditions;
}

using namespace Qt::StringLiterals;

// Generated command texts through the real session. Whatever arrives, the
// front end answers with rows or a short one-line database error, never runs
// part of a refused text, and reads a well-formed text as it was meant.
namespace {
const QDate kDay(2024, 3, 7);

// A call of every stored procedure as the component sends it, each one
// accepted by the demo laboratory of kDay, in this order.
const char* const kCalls[] = {
    "Lab_Get_PatientInformation 'L-1001'",
    "Lab_FormMaker_FillExams 'L-1001','2'",
    "sp_InstrumentGetHemaSampleNum '0','03/07/2024','AN-01',''",
    "LABORATORY..sp_InstrumentGetAxsymSample  '3','03/07/2024','AN-01','101','', 'REF-5001'",
    "Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1001', '', 'MT01','3/7/2024 2:05:00 PM', "
    "'3/7/2024 1:30:00 PM','A-101'",
    "Laboratory..Lab_SaveWithCutOff 'A-101','3/7/2024 2:05:00 PM', '3/7/2024 1:30:00 PM',"
    "'L-1001','HBSAG', '5', 'HBsAg', '0.42', '1', '0.42', 'Slightly hemolysed','1'",
    "LABORATORY..Lab_UpdateDLHemaResult '2','101','L-1001','MT01','03/07/2024','AN-01'",
    "LABORATORY..Lab_GetResultWithCutOff  'L-1001'",
    "Lab_FormMaker_GetResult 'L-1001'",
    "Lab_FormMaker_SaveResultWithNormalValues2 'L-1016', 'GLU', '7.0', 'x' , 'mmol/L', '3.9', "
    "'6.1', '126.5', 'y', 'mg/dL', '70', '110', '18', '1', '1', 'A-1','', '3/7/2024 8:00:00 AM', "
    "'3/7/2024 7:45:00 AM', '', 'MT02', 'N', 'AN-01', '3/7/2024 9:30:00 AM'",
    "LABORATORY..Lab_FormMaker_GetResult_ReagentValues  'L-1016'",
    "laboratory..LAB_Save_VerifyResults 'L-1016','MT01'",
    "Lab_DeleteDump_ResultSummary 'L-1016'",
    "Lab_SaveDump_ResultSummary 'L-1016', 'GLU 7.0'",
    "Lab_Report_Request 'L-1001'",
    "Lab_Report_ConventionalUnits 'L-1016'"};

constexpr int kTexts = 3000;
constexpr int kLongestDescription = 250;
constexpr qint64 kBudgetMs = 50000;

QStringList pieces(QStringView s)
{
    return s.toString().split(u'|');
}
const QStringList kBlanks = pieces(u" |  |\t|\n|\r\n| \u00A0");
// Quotes, statement and comment marks, escapes, line and direction breaks,
// byte-order and noncharacters, a pair beyond the BMP.
const QStringList kOdd = pieces(u"'|''|\"|;|--|/*|*/|\\|%1|\u00E9|\u03A9|\u4E2D|\u202E|\u2028|"
                                u"\u2029|\uFEFF|\uFFFF|\U0001F600|\u0085|\u00A0|\u3000");
// Keys of the demo laboratory, dates, numbers, flags, patterns, an injection.
const QStringList kKnown = pieces(u"L-1001|l-1016  |L-1013|L-1017|H-0001|HBSAG|GLU|AN-01|101|MT01||"
                                  u" |0|1|2|-1|Y|N|0.42|3/7/2024|03/07/2024|3/7/2024 9:15:00 AM|"
                                  u"2/30/2024|%|L%|_|O'BRIEN|x' or '1'='1|99999999999999999999");
const QStringList kDatabases = pieces(u"|laboratory|patient_data");
const QStringList kTails = pieces(u"; |;| -- |--| /* | or ");

struct Table {
    QString database; // as a command names it
    QString name;
    QStringList columns = {};
};

struct Generated {
    QString text;
    std::optional<Command> meant = {}; // a well-formed text must read as this
    bool mustRefuse = false;           // stacked statements, comments
    bool mustSucceed = false;          // a select of a real table by its real columns
};

// Fit for a message box and a one-line log.
bool fitDescription(const QString& d)
{
    if (d.isEmpty() || d.size() > kLongestDescription)
        return false;
    for (qsizetype i = 0; i < d.size(); ++i) {
        const bool pair = d[i].isHighSurrogate() && i + 1 < d.size() && d[i + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(d[i], d[i + 1]) : d[i].unicode();
        i += pair;
        if (!QChar::isPrint(c) || c == 0x2028 || c == 0x2029)
            return false;
    }
    return true;
}

struct Maker {
    QRandomGenerator rng;
    QList<ProcedureCall> calls;
    QList<Table> tables;

    Generated next()
    {
        const int kind = pick(100);
        if (kind >= 30)
            return kind < 50 ? select() : kind < 60 ? stacked() : Generated{mutated()};
        const ProcedureCall c = call();
        return {render(c), c};
    }

    int pick(int n) { return int(rng.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    template <typename T> const T& oneOf(const QList<T>& l) { return l.at(pick(int(l.size()))); }
    QString repeat(int n, const std::function<QString()>& piece)
    {
        QString s;
        while (n-- > 0)
            s += piece();
        return s;
    }

    // Nothing (where allowed), mostly a space, now and then another blank.
    QString blank(bool needed = false)
    {
        return !needed && chance(40) ? QString() : chance(80) ? u" "_s : oneOf(kBlanks);
    }

    QString anyCase(QString w)
    {
        for (QChar& c : w)
            c = !chance(30) ? c : c.isUpper() ? c.toLower() : c.toUpper();
        return w;
    }

    // Controls, lone surrogate halves, anything in the BMP, odd pieces, and
    // (twice as often) printable ASCII.
    QString character()
    {
        static const int ranges[][2] = {
            {0, 32}, {0xD800, 0x800}, {0, 0x10000}, {0x20, 0x5F}, {0x20, 0x5F}};
        const auto [from, count] = ranges[pick(5)];
        return chance(17) ? oneOf(kOdd) : QString(QChar(char16_t(from + pick(count))));
    }

    // Now and then a megabyte: a pasted report or a runaway loop.
    QString longRun()
    {
        return QString(chance(10) ? 1000000 : 1000 + pick(20000), QChar(u'a' + pick(26)));
    }

    QString identifier()
    {
        return u"tb"_s + repeat(pick(12), [&] { return QString(QChar(u'a' + pick(26))); });
    }

    QString value()
    {
        return chance(60)  ? oneOf(kKnown)
               : chance(3) ? longRun()
                           : repeat(pick(10), [&] { return character(); });
    }

    // db..name, db.dbo.name, dbo.name or the name alone, in any case.
    ObjectName named(const QString& database, const QString& name)
    {
        const QString owner = chance(50) ? QString() : anyCase(u"dbo"_s);
        return {database.isEmpty() ? QString() : anyCase(database), owner,
                chance(80) ? name : anyCase(name)};
    }

    // One of the component's own calls with some arguments changed (deep into
    // the procedures: a save that fails late), now and then with too few or
    // too many, a made-up name or the wrong database.
    ProcedureCall call()
    {
        ProcedureCall c = oneOf(calls);
        c.procedure = named(kDatabases.at(pick(chance(90) ? 2 : 3)),
                            chance(90) ? c.procedure.name : identifier());
        for (int n = pick(3); n > 0 && !c.arguments.isEmpty(); --n)
            c.arguments[pick(int(c.arguments.size()))] = value();
        if (chance(20)) {
            const qsizetype count = pick(int(c.arguments.size()) + 3);
            c.arguments.resize(qMin(count, c.arguments.size()));
            while (c.arguments.size() < count)
                c.arguments.append(value());
        }
        return c;
    }

    // A select of a table, now and then unknown, by columns, now and then
    // unknown; answerable when both are real.
    Generated select()
    {
        const bool known = chance(85);
        const Table t = known ? oneOf(tables) : Table{{}, identifier()};
        // The laboratory's tables need no database name.
        SelectAll s{
            named(t.database == kDatabases[1] && chance(50) ? QString() : t.database, t.name), {}};
        QString text = blank() + anyCase(u"select"_s) + blank() + u'*' + blank() +
                       anyCase(u"from"_s) + blank(true) + render(s.table);
        bool answerable = known;
        for (int n = chance(30) ? 0 : 1 + pick(3); n > 0; --n) {
            const bool real = !t.columns.isEmpty() && chance(90);
            const Condition c{real ? anyCase(oneOf(t.columns)) : identifier(), chance(30), value()};
            text +=
                blank(true) + anyCase(QLatin1String(s.conditions.isEmpty() ? "where" : "and")) +
                blank(true) + c.column +
                (c.like ? blank(true) + anyCase(u"like"_s) + blank() : blank() + u'=' + blank()) +
                literal(c.value);
            // A pattern past SQLite's limit is refused by name.
            answerable = answerable && real && !(c.like && c.value.toUtf8().size() > 50000);
            s.conditions.append(c);
        }
        return {text, s, false, answerable};
    }

    QString anyCommand() { return chance(50) ? render(call()) : select().text; }

    // A well-formed command behind a comment, or with a second statement, a
    // comment or an "or" after it: all refused, and nothing of the first runs.
    Generated stacked()
    {
        if (chance(20))
            return {u"/* note */ "_s + anyCommand(), {}, true};
        return {anyCommand() + blank() + oneOf(kTails) +
                    (chance(50) ? u"delete from tbLabRequest"_s : anyCommand()),
                {},
                true};
    }

    // A command with characters (quotes among them) inserted or removed, or
    // cut short.
    QString mutated()
    {
        QString t = anyCommand();
        const std::function<void(qsizetype)> operators[] = {
            [&](qsizetype at) { t.insert(at, character()); },
            [&](qsizetype at) { t.remove(at, pick(8)); },
            [&](qsizetype at) { t.truncate(at); },
        };
        for (int n = 1 + pick(3); n > 0; --n)
            operators[pick(3)](pick(int(t.size()) + 1));
        return t;
    }

    QString render(const ObjectName& o)
    {
        const auto dot = [this] { return blank() + u'.' + blank(); };
        return (o.database.isEmpty() ? QString() : o.database + dot()) +
               (o.database.isEmpty() && o.owner.isEmpty() ? QString() : o.owner + dot()) + o.name;
    }

    static QString literal(const QString& v) { return u'\'' + sqlLiteral(v) + u'\''; }

    QString render(const ProcedureCall& c)
    {
        QString t = render(c.procedure);
        for (qsizetype i = 0; i < c.arguments.size(); ++i)
            t += (i ? blank() + u',' : QString()) + blank(i == 0 && chance(80)) +
                 literal(c.arguments[i]);
        return t + blank();
    }
};

// What is wrong with how the front end took a text; empty when nothing.
QString misreading(const Generated& g, const std::optional<Command>& parsed,
                   const Caught& parseError, const Caught& error)
{
    if (g.meant && !parsed)
        return parseError.description;
    if (g.meant && *parsed != *g.meant)
        return u"read otherwise"_s;
    if (g.mustRefuse && parsed)
        return u"accepted"_s;
    if (parseError.number && error.description != parseError.description)
        return u"not refused as the parser refused it"_s;
    if (!error.number)
        return {};
    const QString& d = error.description;
    if (error.number > 0)
        return u"error %1: "_s.arg(error.number) + d;
    if (!fitDescription(d))
        return u"unfit description: "_s + d.left(kLongestDescription);
    return g.mustSucceed ? d : QString();
}
} // namespace

class TstFrontEndFuzz : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        Clock::pin(QDateTime(kDay, QTime(15, 0)));
        DemoLaboratory::build(m_db.folder(), kDay);
        m_conn.open(u"Initial Catalog=LABORATORY;Data Source="_s + m_db.folder());
        for (const char* text : kCalls) {
            m_conn.execute(QLatin1String(text));
            m_calls.append(std::get<ProcedureCall>(CommandParser::parse(QLatin1String(text))));
        }
        for (const QString& schema : {u"main"_s, u"patient_data"_s}) {
            const QString tables = u"SELECT name FROM %1.sqlite_master WHERE type = 'table' "
                                   "AND name NOT LIKE 'sqlite%'"_s;
            for (const QVariantList& row : m_db.query(tables.arg(schema)).rows) {
                Table t{schema == u"main"_s ? kDatabases[1] : schema, row[0].toString()};
                const QString columns = QStringLiteral("PRAGMA %1.table_info(\"%2\")");
                for (const QVariantList& c : m_db.query(columns.arg(schema, t.name)).rows)
                    t.columns.append(c[1].toString());
                m_tables.append(t);
                m_everyRow.append(QStringLiteral("SELECT * FROM %1.\"%2\"").arg(schema, t.name));
            }
        }
        QVERIFY(m_tables.size() > 10);
    }

    void cleanupTestCase() { Clock::setSource({}); }

    void generatedTexts()
    {
        QByteArray digest = rowsDigest();

        Maker maker{QRandomGenerator(20240307u), m_calls, m_tables};
        QElapsedTimer total;
        total.start();
        for (int i = 0; i < kTexts && total.elapsed() <= kBudgetMs; ++i) {
            const Generated g = maker.next();
            std::optional<Command> parsed;
            const Caught parseError = caught([&] { parsed = CommandParser::parse(g.text); });
            const Caught error = caught([&] { m_conn.execute(g.text); });
            QString fault = misreading(g, parsed, parseError, error);
            // A refused text leaves every row as it was.
            if (const QByteArray d = rowsDigest(); fault.isEmpty() && error.number && d != digest)
                fault = u"refused, yet rows changed: "_s + error.description;
            else
                digest = d;
            if (!fault.isEmpty())
                QFAIL(qPrintable(u"text %1 %2: %3"_s.arg(i).arg(commandExcerpt(g.text), fault)));
        }
        QVERIFY2(total.elapsed() <= kBudgetMs, "the texts took too long");
    }

private:
    // Every row of every table, null told from empty.
    QByteArray rowsDigest()
    {
        QByteArray rows;
        QDataStream s(&rows, QIODevice::WriteOnly);
        for (const QString& sql : std::as_const(m_everyRow))
            s << m_db.query(sql).rows;
        return QCryptographicHash::hash(rows, QCryptographicHash::Sha1);
    }

    TestDatabase m_db;
    Connection m_conn;
    QList<ProcedureCall> m_calls;
    QList<Table> m_tables;
    QStringList m_everyRow;
};

QTEST_GUILESS_MAIN(TstFrontEndFuzz)
#include "tst_frontend_fuzz.moc"
