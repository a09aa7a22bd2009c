#include "AutomationObject.h"
#include "component/ConnSettings.h"
#include "component/clsLISResultEntry.h"
#include "platform/LisError.h"

AutomationObject::~AutomationObject() = default;

std::unique_ptr<AutomationObject> CreateObject(const QString& progId)
{
    // ProgIDs compare without case, as the system's class registry does.
    if (progId.compare(QLatin1String(clsLISResultEntry::kProgId), Qt::CaseInsensitive) == 0)
        return std::make_unique<clsLISResultEntry>();
    if (progId.compare(QLatin1String(ConnSettings::kProgId), Qt::CaseInsensitive) == 0)
        return std::make_unique<ConnSettings>();
    throw LisError(ErrNo::CannotCreateObject, QStringLiteral("Cannot create object: no class is "
                                                             "registered as \"%1\".")
                                                  .arg(progId));
}
