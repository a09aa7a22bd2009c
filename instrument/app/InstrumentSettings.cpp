#include "InstrumentSettings.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/SettingsStore.h"

namespace {
QString setting(const QString& id, const char* key)
{
    return SettingsStore::get(InstrumentSettings::kSettings, id, QLatin1String(key)).trimmed();
}

ConnectionString laboratoryAddress()
{
    return ConnectionString::parse(ConnectionString::ofWorkstation(QStringLiteral("LABORATORY")));
}
} // namespace

namespace InstrumentSettings {
const QString kSettings = QStringLiteral("LIS Instruments");

void badUsage(const QString& why)
{
    throw LisError(ErrNo::InvalidArgument,
                   QStringLiteral("Invalid procedure call or argument: %1").arg(why));
}

InstrumentSetup setupOf(const QString& id)
{
    InstrumentSetup s;
    s.instrument.id = id;
    bool ok = true;
    if (const QString c = setting(id, "ItemComponent"); !c.isEmpty()) {
        s.instrument.itemComponent = c.toInt(&ok);
        if (!ok || s.instrument.itemComponent < 1 || s.instrument.itemComponent > 20)
            badUsage(QStringLiteral("ItemComponent of [%1] in %2.ini is \"%3\"; it is a "
                                    "component number from 1 to 20")
                         .arg(id, kSettings, c));
    }
    if (const QString p = setting(id, "Port"); !p.isEmpty()) {
        const int port = p.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            badUsage(QStringLiteral("Port of [%1] in %2.ini is \"%3\"; a port is a number from "
                                    "1 to 65535")
                         .arg(id, kSettings, p));
        s.port = quint16(port);
    }
    s.address = setting(id, "Address");
    s.serial = setting(id, "Serial");
    if (const QString b = setting(id, "Baud"); !b.isEmpty()) {
        s.baud = b.toInt(&ok);
        if (!ok || s.baud <= 0)
            badUsage(QStringLiteral("Baud of [%1] in %2.ini is \"%3\"").arg(id, kSettings, b));
    }
    if (const QString t = setting(id, "IdleTimeout"); !t.isEmpty()) {
        s.idleSeconds = t.toInt(&ok);
        if (!ok || s.idleSeconds < 0)
            badUsage(QStringLiteral("IdleTimeout of [%1] in %2.ini is \"%3\"; it is a number of "
                                    "seconds, 0 for none")
                         .arg(id, kSettings, t));
    }
    return s;
}

QStringList instrumentIds()
{
    QStringList ids;
    for (const SettingsStore::Entry& e : SettingsStore::all())
        if (e.application.compare(kSettings, Qt::CaseInsensitive) == 0 &&
            !ids.contains(e.section, Qt::CaseInsensitive))
            ids << e.section;
    return ids;
}

std::unique_ptr<LabStore> laboratory()
{
    return openLaboratory(laboratoryAddress());
}

MessageWriter::Opener opener()
{
    return [address = laboratoryAddress()] { return openLaboratory(address); };
}

void say(QTextStream& out, const QString& line)
{
    out << DateText::storage(Clock::now()) << ' ' << line << '\n';
    out.flush();
}
} // namespace InstrumentSettings
