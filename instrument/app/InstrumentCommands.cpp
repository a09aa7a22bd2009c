#include "InstrumentCommands.h"
#include "instrument/Reception.h"
#include "instrument/app/InstrumentSettings.h"
#include "labserver/LabStore.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"

#include <QFile>
#include <algorithm>
#include <memory>

using namespace InstrumentSettings;

void InstrumentCommands::usage(QTextStream& out)
{
    out << "Usage:\n"
           "  lis-instrument listen [INSTRUMENT...]   TCP, each instrument on its Port\n"
           "  lis-instrument serial INSTRUMENT        the instrument's Serial line at its Baud\n"
           "  lis-instrument import INSTRUMENT FILE   a captured session or message file\n"
           "  lis-instrument serve INSTRUMENT         its Serial line if it has one, else its "
           "Port\n"
           "  lis-instrument held [INSTRUMENT]        results held: codes not mapped, corrections\n"
           "  lis-instrument map INSTRUMENT CODE ITEM the instrument's code is the laboratory "
           "item\n"
           "  lis-instrument replay MESSAGE-ID        an archived message stored again (as a "
           "resend)\n"
           "  lis-instrument status [INSTRUMENT...]   each instrument's line, last message, the "
           "day\n"
           "Instruments are sections of LIS Instruments.ini (Port, Address, Serial, Baud,\n"
           "ItemComponent, IdleTimeout); results go to the laboratory the workstation's\n"
           "settings name.\n";
}

int InstrumentCommands::importFile(const QStringList& args, QTextStream& out)
{
    if (args.size() != 2)
        badUsage(QStringLiteral("import takes an instrument and a file"));
    const InstrumentSetup s = setupOf(args.at(0));
    QFile f(args.at(1));
    if (!f.open(QIODevice::ReadOnly))
        throw LisError(ErrNo::FileNotFound,
                       QStringLiteral("%1 cannot be read: %2").arg(args.at(1), f.errorString()));
    const QByteArray bytes = f.readAll();
    auto store = laboratory();
    Reception reception(*store, s.instrument);
    QObject::connect(&reception, &Reception::logLine, [&out](const QString& l) { say(out, l); });
    const QByteArray start = bytes.trimmed().left(4);
    if (start.startsWith("H") || start.startsWith("MSH")) {
        // Bare records or segments, as analysers' export files hold them: one
        // message from each H or MSH on, handed over as its framing would.
        const bool hl7 = start.startsWith("MSH");
        QByteArray text = bytes;
        text.replace("\r\n", "\r").replace('\n', '\r');
        const QByteArray head = hl7 ? QByteArray("MSH") : QByteArray("H");
        QList<QByteArray> messages;
        for (const QByteArray& record : text.split('\r')) {
            if (record.isEmpty())
                continue;
            if (record.startsWith(head) || messages.isEmpty())
                messages.append(QByteArray());
            messages.last() += record + '\r';
        }
        for (const QByteArray& m : messages)
            reception.take(m, hl7 ? InstrumentMessage::Protocol::Hl7
                                  : InstrumentMessage::Protocol::Astm);
    } else {
        reception.feed(bytes);
    }
    out << reception.stored() << (reception.stored() == 1 ? " message" : " messages") << " stored, "
        << reception.refused() << " refused\n";
    return reception.refused() ? 1 : 0;
}

int InstrumentCommands::held(const QStringList& args, QTextStream& out)
{
    if (args.size() > 1)
        badUsage(QStringLiteral("held takes at most one instrument"));
    auto store = laboratory();
    const auto rows = Importer::held(*store, args.value(0));
    for (const Importer::HeldResult& h : rows)
        out << h.instrument << '\t' << h.sample << '\t' << h.resultDate << '\t' << h.item << '\t'
            << h.value << '\t' << h.why << '\n';
    out << "(" << rows.size() << (rows.size() == 1 ? " result held)\n" : " results held)\n");
    return 0;
}

int InstrumentCommands::map(const QStringList& args, QTextStream& out)
{
    if (args.size() != 3)
        badUsage(QStringLiteral("map takes an instrument, its code and a laboratory item"));
    const QString instrument = args.at(0).trimmed(), code = args.at(1).trimmed(),
                  item = args.at(2).trimmed();
    auto store = laboratory();
    int released = 0;
    {
        ScopedTransaction transaction(*store);
        if (store
                ->query(QStringLiteral("SELECT 1 FROM tbLabInstrument WHERE InstrumentID = ?"),
                        {instrument})
                .rows.isEmpty())
            badUsage(
                QStringLiteral("%1 is not one of the laboratory's instruments").arg(instrument));
        if (store->query(QStringLiteral("SELECT 1 FROM tbLabExamItem WHERE ItemID = ?"), {item})
                .rows.isEmpty())
            badUsage(QStringLiteral("%1 is not one of the laboratory's exam items").arg(item));
        const bool known = !store
                                ->query(QStringLiteral("SELECT 1 FROM tbLabInstrumentExams WHERE "
                                                       "InstrumentID = ? AND InstrumentItem = ?"),
                                        {instrument, code})
                                .rows.isEmpty();
        if (known) {
            store->exec(QStringLiteral("UPDATE tbLabInstrumentExams SET ItemID = ? "
                                       "WHERE InstrumentID = ? AND InstrumentItem = ?"),
                        {item, instrument, code});
        } else {
            released =
                store
                    ->query(QStringLiteral("SELECT count(*) FROM tbLabInstrumentDLHemaResult "
                                           "WHERE InstrumentID = ? AND InstrumentItem = ? "
                                           "AND Posted = 'N' AND Corrects IS NULL"),
                            {instrument, code})
                    .rows.value(0)
                    .value(0)
                    .toInt();
            store->exec(QStringLiteral("INSERT INTO tbLabInstrumentExams (InstrumentID, "
                                       "InstrumentItem, ItemID) VALUES (?, ?, ?)"),
                        {instrument, code, item});
        }
        transaction.commit();
        out << instrument << ' ' << code << " is " << item
            << (known ? " now (the mapping changed)" : "") << "; " << released
            << (released == 1 ? " held result released\n" : " held results released\n");
    }
    return 0;
}

int InstrumentCommands::replay(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1)
        badUsage(QStringLiteral("replay takes the number of an archived message"));
    auto store = laboratory();
    const ResultSet rs = store->query(QStringLiteral("SELECT InstrumentID, Protocol, Message FROM "
                                                     "tbLabInstrumentMessage WHERE MessageID = ?"),
                                      {args.first().trimmed().toLongLong()});
    if (rs.rows.isEmpty())
        badUsage(QStringLiteral("no archived message has the number %1").arg(args.first()));
    const QVariantList& m = rs.rows.first();
    const InstrumentSetup s = setupOf(m[0].toString());
    Reception reception(*store, s.instrument);
    QObject::connect(&reception, &Reception::logLine, [&out](const QString& l) { say(out, l); });
    // Taken as a resend: what is already stored is stored once.
    const bool stored =
        reception.take(m[2].toString().toUtf8(), m[1].toString() == QLatin1String("HL7")
                                                     ? InstrumentMessage::Protocol::Hl7
                                                     : InstrumentMessage::Protocol::Astm);
    out << (stored ? "message stored\n" : "message refused\n");
    return stored ? 0 : 1;
}

int InstrumentCommands::status(const QStringList& args, QTextStream& out)
{
    const QStringList ids = args.isEmpty() ? instrumentIds() : args;
    auto store = laboratory();
    const QString today = DateText::storage(QDateTime(Clock::now().date(), QTime(0, 0)));
    for (const QString& id : ids) {
        const InstrumentSetup s = setupOf(id);
        const QString line = s.port                ? QStringLiteral("port %1").arg(s.port)
                             : !s.serial.isEmpty() ? QStringLiteral("serial %1").arg(s.serial)
                                                   : QStringLiteral("no line");
        const QVariantList last =
            store
                ->query(QStringLiteral("SELECT max(ReceivedAt) FROM tbLabInstrumentMessage "
                                       "WHERE InstrumentID = ?"),
                        {id}, {QStringLiteral("max")})
                .rows.value(0);
        const QVariantList day =
            store
                ->query(QStringLiteral("SELECT count(*), coalesce(sum(CASE WHEN Verdict LIKE "
                                       "'refused%' THEN 1 ELSE 0 END), 0), coalesce(sum(Results), "
                                       "0), coalesce(sum(Duplicates), 0), coalesce(sum(Held), 0) "
                                       "FROM tbLabInstrumentMessage WHERE InstrumentID = ? AND "
                                       "ReceivedAt >= ?"),
                        {id, today})
                .rows.value(0);
        out << id << '\t' << line << "\tlast message "
            << (last.value(0).isNull() ? QStringLiteral("never") : last.value(0).toString())
            << "\ttoday " << day.value(0).toInt() << " messages, " << day.value(1).toInt()
            << " refused, " << day.value(2).toInt() << " results, " << day.value(3).toInt()
            << " duplicates, " << day.value(4).toInt() << " held\n";
    }
    return 0;
}
