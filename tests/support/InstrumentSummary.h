#pragma once

#include "instrument/InstrumentMessage.h"

#include <QStringList>
#include <variant>

// What a parser read, a line for the message, each sample and each result;
// or where and why it refused the text.
inline QString summary(const std::variant<InstrumentMessage, MessageError>& read)
{
    if (const auto* e = std::get_if<MessageError>(&read))
        return QStringLiteral("error at %1: %2").arg(e->at).arg(e->reason);
    const InstrumentMessage& m = std::get<InstrumentMessage>(read);
    QStringList out{m.sender + ' ' + m.sent.toString(Qt::ISODate)};
    for (const InstrumentSample& s : m.samples) {
        out += s.specimenId + " / " + s.patientName +
               (s.remarks.isEmpty() ? QString() : " // " + s.remarks);
        for (const InstrumentResult& r : s.results)
            out += QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
                       .arg(r.testId.join('^'), r.value, r.units, r.referenceRange, r.flags,
                            r.status, r.completed.toString(Qt::ISODate)) +
                   (r.comment.isEmpty() ? QString() : " // " + r.comment);
    }
    if (!m.queries.isEmpty())
        out += "asks for " + m.queries.join(", ");
    return out.join('\n');
}
