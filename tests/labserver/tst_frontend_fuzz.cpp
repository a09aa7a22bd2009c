#include "Clock.h"
#include "CommandExcerpt.h"
#include "CommandParser.h"
#include "Connection.h"
#include "DemoLaboratory.h"
#include "LisError.h"
#include "ProcedureRegistry.h"
#include "SqlText.h"
#include "TestDatabase.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>
#include <optional>

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
    "LABORATORY..sp_InstrumentGetAxsymSample  '2','03/07/2024','AN-01','101',''",
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
    "Lab_Report_CutOffResults 'L-1001'",
    "Lab_Report_SIUnits 'L-1016'",
    "Lab_Report_ConventionalUnits 'L-1016'",
};

constexpr int kTexts = 3000;
constexpr int kLongestDescription = 250;
constexpr qint64 kBudgetMs = 50000;

struct Table {
    QString database; // as a command names it
    QString name;
    QStringList columns;
};

struct Generated {
    QString text;
    std::optional<Command> meant; // a well-formed text must read as this
    bool mustRefuse = false;      // stacked statements, comments
    bool mustSucceed = false;     // a select of a real table by its real columns
};

bool sameName(const ObjectName& a, const ObjectName& b)
{
    return a.database == b.database && a.owner == b.owner && a.name == b.name;
}

bool sameCommand(const Command& a, const Command& b)
{
    if (a.index() != b.index())
        return false;
    if (const auto* p = std::get_if<ProcedureCall>(&a)) {
        const auto& q = std::get<ProcedureCall>(b);
        return sameName(p->procedure, q.procedure) && p->arguments == q.arguments;
    }
    const auto& s = std::get<SelectAll>(a);
    const auto& t = std::get<SelectAll>(b);
    if (!sameName(s.table, t.table) || s.conditions.size() != t.conditions.size())
        return false;
    for (qsizetype i = 0; i < s.conditions.size(); ++i) {
        const Condition& c = s.conditions.at(i);
        const Condition& d = t.conditions.at(i);
        if (c.column != d.column || c.like != d.like || c.value != d.value)
            return false;
    }
    return true;
}

// Empty when the description is fit for a message box and a one-line log.
QString descriptionFault(const QString& d)
{
    if (d.isEmpty())
        return QStringLiteral("empty description");
    if (d.size() > kLongestDescription)
        return QStringLiteral("description of %1 characters").arg(d.size());
    for (qsizetype i = 0; i < d.size(); ++i) {
        char32_t c = d.at(i).unicode();
        if (d.at(i).isHighSurrogate() && i + 1 < d.size() && d.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(d.at(i), d.at(i + 1));
            ++i;
        }
        if (!QChar::isPrint(c) || c == 0x2028 || c == 0x2029)
            return QStringLiteral("unprintable U+%1 in the description")
                .arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return {};
}

class Maker {
public:
    Maker(quint32 seed, QList<ProcedureCall> calls, QList<Table> tables)
        : m_rng(seed)
        , m_calls(std::move(calls))
        , m_tables(std::move(tables))
    {
    }

    Generated next()
    {
        const int kind = pick(100);
        if (kind < 30)
            return well(call());
        if (kind < 50)
            return select();
        if (kind < 60)
            return stacked();
        if (kind < 85)
            return {mutated(), {}, false, false};
        return {noise(), {}, false, false};
    }

private:
    int pick(int n) { return int(m_rng.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    template <typename T> const T& oneOf(const QList<T>& l) { return l.at(pick(int(l.size()))); }

    Generated well(const Command& c) { return {render(c), c, false, false}; }

    QString blank(bool required)
    {
        static const QStringList blanks{QStringLiteral(" "),    QStringLiteral("  "),
                                        QStringLiteral("\t"),   QStringLiteral("\n"),
                                        QStringLiteral("\r\n"), QStringLiteral(" \u00A0")};
        if (!required && chance(40))
            return {};
        return chance(80) ? QStringLiteral(" ") : oneOf(blanks);
    }

    QString anyCase(const QString& word)
    {
        QString w = word;
        for (QChar& c : w) {
            if (chance(30))
                c = c.isUpper() ? c.toLower() : c.toUpper();
        }
        return w;
    }

    // One character of any kind a text may carry, line breaks and halves of
    // surrogate pairs included.
    QString character()
    {
        static const QStringList odd{
            QStringLiteral("'"),      QStringLiteral("''"),     QStringLiteral("\""),
            QStringLiteral(";"),      QStringLiteral("--"),     QStringLiteral("/*"),
            QStringLiteral("*/"),     QStringLiteral("\\"),     QStringLiteral("%1"),
            QStringLiteral("\u00E9"), QStringLiteral("\u03A9"), QStringLiteral("\u4E2D"),
            QStringLiteral("\u202E"), QStringLiteral("\u2028"), QStringLiteral("\u2029"),
            QStringLiteral("\uFEFF"), QStringLiteral("\uFFFF"), QStringLiteral("\U0001F600"),
            QStringLiteral("\u0085"), QStringLiteral("\u00A0"), QStringLiteral("\u3000")};
        switch (pick(6)) {
        case 0:
            return QChar(char16_t(pick(32)));
        case 1:
            return QChar(char16_t(0xD800 + pick(0x800))); // a lone surrogate
        case 2:
            return QChar(char16_t(pick(0x10000)));
        case 3:
            return oneOf(odd);
        default:
            return QChar(char16_t(0x20 + pick(0x5F)));
        }
    }

    QString longRun()
    {
        const QChar c = QChar(char16_t(u'a' + pick(26)));
        // Now and then a megabyte: a pasted report or a runaway loop.
        return QString(chance(10) ? 1000000 : 1000 + pick(20000), c);
    }

    QString identifier()
    {
        static const QStringList starts{QStringLiteral("tb"), QStringLiteral("Lab_"),
                                        QStringLiteral("_"),  QStringLiteral("#t"),
                                        QStringLiteral("@p"), QStringLiteral("\u00C9t"),
                                        QStringLiteral("x")};
        static const QStringList keywords{QStringLiteral("select"), QStringLiteral("from"),
                                          QStringLiteral("where"), QStringLiteral("and"),
                                          QStringLiteral("like")};
        QString id = oneOf(starts);
        for (int n = pick(12); n > 0; --n)
            id += QChar(char16_t(chance(70) ? u'a' + pick(26) : u'0' + pick(10)));
        if (chance(20))
            id += QStringLiteral("$1");
        if (chance(2))
            id += longRun();
        for (const QString& k : keywords) {
            if (id.compare(k, Qt::CaseInsensitive) == 0)
                return identifier();
        }
        return id;
    }

    QString value()
    {
        // Keys of the demo laboratory, dates, numbers, flags, patterns.
        static const QStringList known =
            QStringLiteral("L-1001|l-1016  |L-1013|L-1017|H-0001|HBSAG|GLU|AN-01|101|MT01|| |0|1|"
                           "2|-1|Y|N|0.42|3/7/2024|03/07/2024|3/7/2024 9:15:00 AM|2/30/2024|%|L%|_|"
                           "O'BRIEN|x' or '1'='1|99999999999999999999")
                .split(QLatin1Char('|'));
        if (chance(60))
            return oneOf(known);
        if (chance(3))
            return longRun();
        QString v;
        for (int n = pick(10); n > 0; --n)
            v += character();
        return v;
    }

    ObjectName named(const QString& database, const QString& name)
    {
        // db..name, db.dbo.name, dbo.name or the name alone; a database
        // always comes with its owner's place.
        const QString owner = chance(50) ? QString() : anyCase(QStringLiteral("dbo"));
        if (!database.isEmpty())
            return {anyCase(database), owner, name};
        return {QString(), owner, name};
    }

    // One of the component's own calls with some arguments changed, added or
    // dropped (deep into the procedures: a save that fails late), or any
    // name with any arguments.
    ProcedureCall call()
    {
        static const QStringList databases{QString(), QStringLiteral("laboratory"),
                                           QStringLiteral("patient_data")};
        if (chance(60)) {
            ProcedureCall c = oneOf(m_calls);
            const QString name = c.procedure.name;
            c.procedure =
                named(chance(50) ? QString() : databases.at(1), chance(80) ? name : anyCase(name));
            for (int n = pick(3); n > 0 && !c.arguments.isEmpty(); --n)
                c.arguments[pick(int(c.arguments.size()))] = value();
            if (chance(10))
                c.arguments.append(value());
            else if (chance(10) && !c.arguments.isEmpty())
                c.arguments.removeLast();
            return c;
        }
        const QString name = chance(90) ? oneOf(m_calls).procedure.name : identifier();
        const ProcedureDef* def = ProcedureRegistry::find(name);
        // Now and then in the wrong database.
        ProcedureCall c{
            named(databases.at(pick(chance(85) ? 2 : 3)), chance(80) ? name : anyCase(name)), {}};
        const int count = def && chance(70)
                              ? def->minArguments + pick(def->maxArguments - def->minArguments + 1)
                              : pick(def ? def->maxArguments + 3 : 5);
        for (int i = 0; i < count; ++i)
            c.arguments.append(value());
        return c;
    }

    Generated select()
    {
        const bool known = chance(85);
        const Table t = known ? oneOf(m_tables) : Table{{}, identifier(), {}};
        // The laboratory's tables need no database name.
        const bool bare = t.database == QLatin1String("laboratory") && chance(50);
        SelectAll s{named(bare ? QString() : t.database, chance(70) ? t.name : anyCase(t.name)),
                    {}};
        bool answerable = known;
        for (int n = chance(30) ? 0 : 1 + pick(3); n > 0; --n) {
            const bool real = !t.columns.isEmpty() && chance(90);
            const Condition c{real ? anyCase(oneOf(t.columns)) : identifier(), chance(30), value()};
            // A pattern past SQLite's limit is refused by name.
            answerable = answerable && real && !(c.like && c.value.toUtf8().size() > 50000);
            s.conditions.append(c);
        }
        return {render(s), s, false, answerable};
    }

    // A well-formed command with more after it: a second statement, a
    // comment, an "or". All refused, and nothing of the first runs.
    Generated stacked()
    {
        const QString first = chance(50) ? render(call()) : select().text;
        static const QStringList tails{QStringLiteral("; "),   QStringLiteral(";"),
                                       QStringLiteral(" -- "), QStringLiteral("--"),
                                       QStringLiteral(" /* "), QStringLiteral(" or ")};
        if (chance(20))
            return {QStringLiteral("/* note */ ") + first, {}, true, false};
        QString text = first + blank(false) + oneOf(tails);
        text += chance(50) ? QStringLiteral("delete from tbLabRequest") : select().text;
        if (chance(30))
            text += QStringLiteral(" */");
        return {text, {}, true, false};
    }

    QString mutated()
    {
        QString t = chance(50) ? render(call()) : select().text;
        for (int n = 1 + pick(3); n > 0; --n) {
            const qsizetype at = pick(int(t.size()) + 1);
            switch (pick(7)) {
            case 0:
                t.insert(at, character());
                break;
            case 1:
                t.remove(at, pick(8));
                break;
            case 2:
                t.insert(at, t.mid(at, pick(20)));
                break;
            case 3:
                t.truncate(at);
                break;
            case 4: {
                const qsizetype q = t.indexOf(QLatin1Char('\''), at);
                if (q >= 0)
                    t.remove(q, 1); // an unbalanced quote
                else
                    t.insert(at, QLatin1Char('\''));
                break;
            }
            case 5:
                t.insert(at, longRun());
                break;
            default:
                if (at < t.size())
                    t[at] = character().at(0);
            }
        }
        return t;
    }

    QString noise()
    {
        static const QStringList words{
            QStringLiteral("select"),     QStringLiteral("*"),           QStringLiteral("from"),
            QStringLiteral("where"),      QStringLiteral("and"),         QStringLiteral("or"),
            QStringLiteral("like"),       QStringLiteral("="),           QStringLiteral(","),
            QStringLiteral("."),          QStringLiteral(".."),          QStringLiteral("'x'"),
            QStringLiteral("'"),          QStringLiteral("12"),          QStringLiteral("dbo"),
            QStringLiteral("laboratory"), QStringLiteral("tbLabRequest")};
        QString t;
        switch (pick(4)) {
        case 0: { // bytes as they might arrive from a broken client
            QByteArray b;
            for (int n = pick(60); n > 0; --n)
                b += char(pick(256));
            return chance(50) ? QString::fromUtf8(b) : QString::fromLatin1(b);
        }
        case 1:
            for (int n = pick(40); n > 0; --n)
                t += character();
            return t;
        case 2:
            for (int n = pick(6); n > 0; --n)
                t += blank(true);
            return t;
        default:
            for (int n = pick(12); n > 0; --n)
                t += oneOf(words) + blank(false);
            return t;
        }
    }

    QString render(const ObjectName& o)
    {
        const auto dot = [this] { return blank(false) + QLatin1Char('.') + blank(false); };
        QString t;
        if (!o.database.isEmpty())
            t += o.database + dot();
        if (!o.database.isEmpty() || !o.owner.isEmpty())
            t += o.owner + dot();
        return t + o.name;
    }

    QString literal(const QString& v)
    {
        return QLatin1Char('\'') + sqlLiteral(v) + QLatin1Char('\'');
    }

    QString render(const Command& command)
    {
        if (const auto* c = std::get_if<ProcedureCall>(&command)) {
            QString t = render(c->procedure);
            for (qsizetype i = 0; i < c->arguments.size(); ++i)
                t += (i ? blank(false) + QLatin1Char(',') : QString()) +
                     blank(i == 0 && chance(80)) + literal(c->arguments.at(i));
            return t + blank(false);
        }
        const auto& s = std::get<SelectAll>(command);
        QString t = blank(false) + anyCase(QStringLiteral("select")) + blank(false) +
                    QLatin1Char('*') + blank(false) + anyCase(QStringLiteral("from")) +
                    blank(true) + render(s.table);
        for (qsizetype i = 0; i < s.conditions.size(); ++i) {
            const Condition& c = s.conditions.at(i);
            t += blank(true) + anyCase(QLatin1String(i ? "and" : "where")) + blank(true) + c.column;
            t += c.like ? blank(true) + anyCase(QStringLiteral("like")) + blank(false)
                        : blank(false) + QLatin1Char('=') + blank(false);
            t += literal(c.value);
        }
        return t;
    }

    QRandomGenerator m_rng;
    QList<ProcedureCall> m_calls;
    QList<Table> m_tables;
};
} // namespace

class TstFrontEndFuzz : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        Clock::pin(QDateTime(kDay, QTime(15, 0)));
        DemoLaboratory::build(m_db.folder(), kDay);
        m_conn.open(QStringLiteral("Initial Catalog=LABORATORY;Data Source=") + m_db.folder());
        for (const char* text : kCalls) {
            const Command c = CommandParser::parse(QLatin1String(text));
            QVERIFY2(ProcedureRegistry::find(std::get<ProcedureCall>(c).procedure.name), text);
            m_conn.execute(QLatin1String(text));
            m_calls.append(std::get<ProcedureCall>(c));
        }
        for (const auto& [schema, database] :
             {std::pair{QStringLiteral("main"), QStringLiteral("laboratory")},
              std::pair{QStringLiteral("patient_data"), QStringLiteral("patient_data")}}) {
            const ResultSet names =
                m_db.query(QStringLiteral("SELECT name FROM %1.sqlite_master WHERE type = 'table'")
                               .arg(schema));
            for (const QVariantList& row : names.rows) {
                Table t{database, row.at(0).toString(), {}};
                const ResultSet cols =
                    m_db.query(QStringLiteral("PRAGMA %1.table_info(\"%2\")").arg(schema, t.name));
                for (const QVariantList& c : cols.rows)
                    t.columns.append(c.at(1).toString());
                m_tables.append(t);
                m_digestOf.append(QStringLiteral("SELECT * FROM %1.\"%2\"").arg(schema, t.name));
            }
        }
        QVERIFY(m_tables.size() > 10);
    }

    void cleanupTestCase() { Clock::setSource({}); }

    void generatedTexts()
    {
        // A refused text must leave every row as it was. Comparing all rows
        // after each text is slow, so the rows are compared only when
        // SQLite's data version says another connection committed.
        const auto versions = [&] {
            const auto of = [&](const char* sql) {
                return m_db.query(QLatin1String(sql)).rows.at(0).at(0).toLongLong();
            };
            return std::pair{of("PRAGMA main.data_version"),
                             of("PRAGMA patient_data.data_version")};
        };
        // The watch sees the session's writes, or it would pass anything.
        const auto before = versions();
        m_conn.execute(QStringLiteral("Lab_SaveDump_ResultSummary 'L-1016', 'watched'"));
        auto version = versions();
        QVERIFY(version != before);
        QByteArray digest = rowsDigest();

        // LIS_FUZZ_SEED replays or explores another sequence of texts.
        const quint32 seed = !qEnvironmentVariableIsEmpty("LIS_FUZZ_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("LIS_FUZZ_SEED"))
                                 : 20240307u;
        Maker maker(seed, m_calls, m_tables);
        int refused = 0;
        int wellFormed = 0;
        int written = 0;
        qint64 slowestMs = 0;
        QString slowest;
        QElapsedTimer total;
        total.start();
        for (int i = 0; i < kTexts; ++i) {
            const Generated g = maker.next();
            const auto where = [&](const QString& what) {
                return QStringLiteral("text %1 (seed %2) %3: %4")
                    .arg(i)
                    .arg(seed)
                    .arg(commandExcerpt(g.text), what)
                    .toLocal8Bit();
            };

            std::optional<Command> parsed;
            QString parseError;
            try {
                parsed = CommandParser::parse(g.text);
            } catch (const LisError& e) {
                parseError = e.description();
            }
            wellFormed += parsed ? 1 : 0;
            if (g.meant && !parsed)
                QFAIL(where(parseError).constData());
            if (g.meant && !sameCommand(*parsed, *g.meant))
                QFAIL(where(QStringLiteral("read otherwise")).constData());
            if (g.mustRefuse && parsed)
                QFAIL(where(QStringLiteral("accepted")).constData());

            QElapsedTimer one;
            one.start();
            std::optional<LisError> error;
            try {
                m_conn.execute(g.text);
            } catch (const LisError& e) {
                error = e;
            } catch (const std::exception& e) {
                QFAIL(
                    where(QStringLiteral("threw ") + QString::fromLocal8Bit(e.what())).constData());
            }
            if (one.elapsed() > slowestMs) {
                slowestMs = one.elapsed();
                slowest = commandExcerpt(g.text);
            }

            if (error) {
                ++refused;
                const QString& d = error->description();
                if (error->number() >= 0)
                    QFAIL(where(QStringLiteral("error %1: ").arg(error->number()) + d).constData());
                if (const QString fault = descriptionFault(d); !fault.isEmpty())
                    QFAIL(where(fault + QStringLiteral(": ") + d.left(kLongestDescription))
                              .constData());
                if (g.mustSucceed)
                    QFAIL(where(d).constData());
            }
            if (!parsed && (!error || error->description() != parseError))
                QFAIL(where(QStringLiteral("not refused as the parser refused it")).constData());

            if (const auto v = versions(); v != version) {
                const QByteArray d = rowsDigest();
                if (error && d != digest)
                    QFAIL(
                        where(QStringLiteral("refused, yet rows changed: ") + error->description())
                            .constData());
                written += d != digest;
                version = v;
                digest = d;
            }
            if (total.elapsed() > kBudgetMs)
                QFAIL(qPrintable(
                    QStringLiteral("%1 texts took %2 ms").arg(i + 1).arg(total.elapsed())));
        }
        qInfo("%d texts, %d well-formed, %d refused, %d wrote; %lld ms, the slowest %lld ms: %s",
              kTexts, wellFormed, refused, written, total.elapsed(), slowestMs,
              qPrintable(slowest));
    }

private:
    QByteArray rowsDigest()
    {
        QCryptographicHash h(QCryptographicHash::Sha1);
        for (const QString& sql : std::as_const(m_digestOf)) {
            h.addData(sql.toUtf8());
            for (const QVariantList& row : m_db.query(sql).rows) {
                for (const QVariant& v : row) {
                    h.addData(v.isNull() ? QByteArrayView("\1N") : QByteArrayView("\1V"));
                    h.addData(v.toString().toUtf8());
                }
                h.addData(QByteArrayView("\2"));
            }
        }
        return h.result();
    }

    TestDatabase m_db;
    Connection m_conn;
    QList<ProcedureCall> m_calls;
    QList<Table> m_tables;
    QStringList m_digestOf;
};

QTEST_GUILESS_MAIN(TstFrontEndFuzz)
#include "tst_frontend_fuzz.moc"
