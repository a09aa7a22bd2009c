// The PostgreSQL server of one test run: `start STATE` makes and starts a
// throwaway cluster with a template laboratory and writes where it is to
// STATE; `stop STATE` stops the cluster STATE names and removes its folders.
// Without the server programs, start writes why, and the suites skip.
#include "labserver/EmbeddedDriver.h"
#include "labserver/ServerSchema.h"
#include "tests/support/PgCluster.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
const QString kUnavailable = u"lis-test-pg-unavailable"_s;

int fail(const QString& what)
{
    std::fprintf(stderr, "%s\n", qPrintable(what));
    return 1;
}

// A cluster a killed run left behind is stopped before a new one starts.
void stopLeftover(const QString& state)
{
    PgCluster old;
    if (old.load(state, true))
        old.stop();
    QFile::remove(state);
}

int start(const QString& state)
{
    stopLeftover(state);
    registerLabDrivers(); // the schema scripts
    PgCluster cluster;
    if (!cluster.available()) {
        QFile f(state);
        if (!f.open(QIODevice::WriteOnly))
            return fail(u"Cannot write %1"_s.arg(state));
        f.write((kUnavailable + u'\n' + cluster.reason()).toUtf8());
        std::printf("No PostgreSQL for this run: %s\n", qPrintable(cluster.reason()));
        return 0;
    }
    if (!cluster.start() || !cluster.createDatabase(u"lis_template"_s))
        return fail(cluster.reason());
    try {
        QSqlDatabase db = cluster.connect(u"lis_template"_s, u"template"_s);
        if (!db.isOpen())
            return fail(u"Cannot open the template laboratory"_s);
        ServerSchema::init(db, u"the test server"_s);
        db.close();
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()));
    }
    if (!cluster.save(state))
        return fail(cluster.reason());
    cluster.release();
    std::printf("PostgreSQL test server: socket in %s\n", qPrintable(cluster.socketDir()));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || (args.at(1) != u"start"_s && args.at(1) != u"stop"_s))
        return fail(u"usage: lis_test_pgserver start|stop STATE"_s);
    if (args.at(1) == u"start"_s)
        return start(args.at(2));
    stopLeftover(args.at(2));
    return 0;
}
