#include "EmbeddedDriver.h"
#include "labserver/LabSession.h"
#include "labserver/PgConnection.h"
#include "labserver/ServerDriver.h"
#include "platform/CommandExcerpt.h"
#include "platform/LisError.h"
#include "platform/PrivateFiles.h"
#include "procedures/Procedures.h"

#include <QDir>
#include <QStandardPaths>
#include <mutex>

// The Server setting is read in one place, which also tells the embedded
// laboratory from a PostgreSQL address.
bool EmbeddedDriver::isFolderPath(const QString& dataSource)
{
    return ServerAddress::classify(dataSource).kind == ServerAddress::EmbeddedFolder;
}

bool EmbeddedDriver::accepts(const ConnectionString& cs) const
{
    return ServerAddress::classify(cs.dataSource()).isEmbedded();
}

QString EmbeddedDriver::defaultDataFolder()
{
    const QString moved = qEnvironmentVariable("LIS_DATA_DIR");
    if (!moved.isEmpty())
        return QDir::cleanPath(moved);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velquor-lis");
}

std::unique_ptr<DbSession> EmbeddedDriver::connect(const ConnectionString& cs)
{
    return std::make_unique<LabSession>(folderOf(cs));
}

QString EmbeddedDriver::folderOf(const ConnectionString& cs)
{
    const QString catalog = cs.catalog().trimmed();
    if (!catalog.isEmpty() &&
        catalog.compare(QStringLiteral("laboratory"), Qt::CaseInsensitive) != 0)
        throw LisError(ErrNo::DbConnectionFailed,
                       QStringLiteral("Cannot open database %1 requested by the login. The "
                                      "embedded server holds the databases laboratory and "
                                      "patient_data; connect to laboratory.")
                           .arg(commandExcerpt(catalog)));
    QString folder = cs.dataSource().trimmed();
    if (folder.isEmpty()) {
        folder = defaultDataFolder();
        if (!PrivateFiles::makeFolder(folder))
            throw LisError(ErrNo::DbConnectionFailed,
                           QStringLiteral("The data folder %1 cannot be created.").arg(folder));
    } else if (folder.startsWith(QLatin1Char('~'))) {
        folder = QDir::homePath() + folder.mid(1);
    }
    return QDir::cleanPath(folder);
}

std::unique_ptr<LabStore> openLaboratory(const ConnectionString& cs)
{
    registerLabDrivers();
    const ServerAddress a = ServerAddress::classify(cs.dataSource());
    if (a.isEmbedded())
        return std::make_unique<LabStore>(EmbeddedDriver::folderOf(cs));
    return std::make_unique<LabStore>(cs);
}

// Resources of a static library must be pulled in by name.
static void initSchemaResources()
{
    Q_INIT_RESOURCE(labserver);
}

void registerLabDrivers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        initSchemaResources();
        registerPatientProcedures();
        registerResultHeaderProcedures();
        registerCutOffProcedures();
        registerNormalValueProcedures();
        registerInstrumentProcedures();
        registerReportProcedures();
        registerCheckProcedures();
        registerQualityControlProcedures();
        DriverRegistry::add(std::make_shared<EmbeddedDriver>());
        DriverRegistry::add(std::make_shared<ServerDriver>());
    });
}
