#include "Hl7Segments.h"

#include <QChar>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
bool lineEnd(char c)
{
    return c == '\r' || c == '\n';
}

bool fitDelimiter(char c)
{
    return c > ' ' && c < 0x7F && !QChar::isLetterOrNumber(char32_t(c));
}
} // namespace

namespace Hl7 {
Bytes piece(Bytes raw, int delimiter, int index)
{
    if (delimiter == kUnused)
        return index == 0 ? raw : Bytes();
    qsizetype start = 0;
    for (; index > 0; --index) {
        start = raw.indexOf(char(delimiter), start);
        if (start < 0)
            return {};
        ++start;
    }
    const qsizetype end = raw.indexOf(char(delimiter), start);
    return raw.sliced(start, (end < 0 ? raw.size() : end) - start);
}

Pieces split(Bytes raw, int delimiter)
{
    if (delimiter == kUnused)
        return {raw};
    Pieces out;
    out.reserve(std::count(raw.begin(), raw.end(), char(delimiter)) + 1);
    for (qsizetype start = 0;;) {
        const qsizetype at = raw.indexOf(char(delimiter), start);
        out.append(raw.sliced(start, (at < 0 ? raw.size() : at) - start));
        if (at < 0)
            return out;
        start = at + 1;
    }
}

Pieces segments(Bytes text, bool first)
{
    Pieces out;
    for (const char* p = text.begin(); p < text.end() && !(first && !out.isEmpty());) {
        const char* const stop = std::find_if(p, text.end(), lineEnd);
        if (stop > p)
            out.append(Bytes(p, stop));
        p = stop + 1;
    }
    return out;
}

std::variant<Header, QString> readHeader(Bytes first)
{
    if (!first.startsWith("MSH") || first.size() < 4)
        return u"the message does not start with an MSH segment"_s;
    Header h;
    h.d.field = first[3];
    if (!fitDelimiter(h.d.field))
        return u"MSH-1 field separator is not a printable, non-alphanumeric character"_s;
    h.fields = split(first, h.d.field);
    const Bytes encoding = h.fields.value(1);
    if (encoding.isEmpty() || encoding.size() > 5)
        return u"MSH-2 encoding characters are not 1 to 5 characters"_s;
    QByteArray seen(1, h.d.field);
    for (const char c : encoding) {
        if (!fitDelimiter(c) || seen.contains(c))
            return u"MSH-2 encoding characters are not distinct, printable, non-alphanumeric "
                   u"characters"_s;
        seen += c;
    }
    int* const order[] = {&h.d.component, &h.d.repeat, &h.d.escape, &h.d.subcomponent};
    for (int i = 0; i < 4; ++i)
        *order[i] = i < encoding.size() ? encoding[i] : kUnused;
    return h;
}
} // namespace Hl7
