#include "CommandParser.h"
#include "platform/CommandExcerpt.h"
#include "platform/LisError.h"

namespace {
enum class Tok { Ident, Literal, Dot, Comma, Star, Equals, Other, End };

struct Token {
    Tok kind;
    QString text;
};

[[noreturn]] void syntaxError(const QString& near)
{
    throw LisError(ErrNo::DbCommandFailed,
                   QStringLiteral("Incorrect syntax near %1.").arg(commandExcerpt(near)));
}

bool identStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_') || c == QLatin1Char('#') || c == QLatin1Char('@');
}

bool identPart(QChar c)
{
    return identStart(c) || c.isDigit() || c == QLatin1Char('$');
}

// The quoted text starting at i, '' standing for one quote; where the
// text after it starts.
qsizetype readLiteral(const QString& s, qsizetype i, QList<Token>& out)
{
    const qsizetype n = s.size();
    QString v = QStringLiteral(""); // '' is empty text, never Null
    qsizetype j = i + 1;
    bool closed = false;
    while (j < n) {
        if (s.at(j) == QLatin1Char('\'')) {
            if (j + 1 < n && s.at(j + 1) == QLatin1Char('\'')) {
                v += QLatin1Char('\'');
                j += 2;
                continue;
            }
            closed = true;
            break;
        }
        v += s.at(j++);
    }
    if (!closed)
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("Unclosed quotation mark after the character string %1.")
                           .arg(commandExcerpt(v)));
    out.append({Tok::Literal, v});
    return j + 1;
}

QList<Token> tokenize(const QString& s)
{
    QList<Token> out;
    qsizetype i = 0;
    const qsizetype n = s.size();
    while (i < n) {
        const QChar c = s.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (identStart(c)) {
            qsizetype j = i + 1;
            while (j < n && identPart(s.at(j)))
                ++j;
            out.append({Tok::Ident, s.mid(i, j - i)});
            i = j;
        } else if (c == QLatin1Char('\'')) {
            i = readLiteral(s, i, out);
        } else if (c == QLatin1Char('.')) {
            out.append({Tok::Dot, c});
            ++i;
        } else if (c == QLatin1Char(',')) {
            out.append({Tok::Comma, c});
            ++i;
        } else if (c == QLatin1Char('*')) {
            out.append({Tok::Star, c});
            ++i;
        } else if (c == QLatin1Char('=')) {
            out.append({Tok::Equals, c});
            ++i;
        } else {
            // Numbers, operators and the like fit no accepted shape; the
            // parser names the first one it meets.
            qsizetype j = i + 1;
            while (j < n && c.isDigit() && s.at(j).isDigit())
                ++j;
            if (c.isHighSurrogate() && j < n && s.at(j).isLowSurrogate())
                ++j; // named whole, not half a character
            out.append({Tok::Other, s.mid(i, j - i)});
            i = j;
        }
    }
    out.append({Tok::End, QString()});
    return out;
}

class Parser {
public:
    explicit Parser(QList<Token> t)
        : m_t(std::move(t))
    {
    }

    Command command()
    {
        if (peek().kind == Tok::End)
            throw LisError(ErrNo::DbCommandFailed, QStringLiteral("The command text is empty."));
        if (peek().kind != Tok::Ident)
            syntaxError(peek().text);
        if (isWord(QStringLiteral("select")))
            return select();
        return procedureCall();
    }

private:
    const Token& peek() const { return m_t.at(m_pos); }
    Token take() { return m_t.at(m_pos++); }
    bool isWord(const QString& w) const
    {
        return peek().kind == Tok::Ident && peek().text.compare(w, Qt::CaseInsensitive) == 0;
    }
    void expectWord(const QString& w)
    {
        if (!isWord(w))
            syntaxError(peek().kind == Tok::End ? w : peek().text);
        ++m_pos;
    }
    // A command that stops short is wrong near its last token.
    const QString& nearHere() const
    {
        return peek().kind == Tok::End && m_pos > 0 ? m_t.at(m_pos - 1).text : peek().text;
    }
    Token expect(Tok kind)
    {
        if (peek().kind != kind)
            syntaxError(nearHere());
        return take();
    }
    void expectEnd()
    {
        if (peek().kind != Tok::End)
            syntaxError(peek().text);
    }

    ObjectName objectName()
    {
        QStringList parts{expect(Tok::Ident).text};
        while (peek().kind == Tok::Dot) {
            take();
            if (peek().kind == Tok::Dot) {
                parts.append(QString()); // "db..name": no owner
                continue;
            }
            parts.append(expect(Tok::Ident).text);
        }
        switch (parts.size()) {
        case 1:
            return {QString(), QString(), parts.at(0)};
        case 2:
            return {QString(), parts.at(0), parts.at(1)};
        case 3:
            return {parts.at(0), parts.at(1), parts.at(2)};
        default:
            syntaxError(parts.join(QLatin1Char('.')));
        }
    }

    Command procedureCall()
    {
        ProcedureCall call{objectName(), {}};
        if (peek().kind == Tok::Literal) {
            call.arguments.append(take().text);
            while (peek().kind == Tok::Comma) {
                take();
                call.arguments.append(expect(Tok::Literal).text);
            }
        }
        expectEnd();
        return call;
    }

    Command select()
    {
        take();
        expect(Tok::Star);
        expectWord(QStringLiteral("from"));
        SelectAll s{objectName(), {}};
        if (isWord(QStringLiteral("where"))) {
            take();
            s.conditions.append(condition());
            while (isWord(QStringLiteral("and"))) {
                take();
                s.conditions.append(condition());
            }
        }
        expectEnd();
        return s;
    }

    Condition condition()
    {
        Condition c;
        c.column = expect(Tok::Ident).text;
        if (peek().kind == Tok::Equals) {
            take();
        } else if (isWord(QStringLiteral("like"))) {
            take();
            c.like = true;
        } else {
            syntaxError(nearHere());
        }
        c.value = expect(Tok::Literal).text;
        return c;
    }

    QList<Token> m_t;
    qsizetype m_pos = 0;
};
} // namespace

Command CommandParser::parse(const QString& text)
{
    return Parser(tokenize(text)).command();
}
