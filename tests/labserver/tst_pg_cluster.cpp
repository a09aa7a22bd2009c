#include "PgCluster.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
QString answer(const QSqlDatabase& db, const QString& sql)
{
    QSqlQuery q(db);
    return q.exec(sql) && q.next() ? q.value(0).toString() : u"error: "_s + q.lastError().text();
}
} // namespace

// The throwaway server the PostgreSQL suites run on: private to this program,
// socket only, and gone with the object.
class TstPgCluster : public QObject {
    Q_OBJECT
private slots:
    void privateServerComesAndGoes()
    {
        QStringList folders;
        {
            PgCluster pg;
            if (!pg.available())
                QSKIP(qPrintable(pg.reason()));
            QVERIFY2(pg.start(), qPrintable(pg.reason()));
            QVERIFY2(pg.createDatabase(u"laboratory"_s), qPrintable(pg.reason()));
            {
                const QSqlDatabase db = pg.connect(u"laboratory"_s);
                QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
                QSqlQuery q(db);
                QVERIFY(q.exec(u"CREATE SCHEMA laboratory"_s));
                QVERIFY(q.exec(u"CREATE SCHEMA patient_data"_s));
                QVERIFY(q.exec(u"CREATE TABLE patient_data.tbPatient (Name text)"_s));
                QCOMPARE(answer(db, u"SELECT count(*) FROM patient_data.tbPatient"_s), u"0"_s);
                QCOMPARE(answer(db, u"SHOW listen_addresses"_s), QString());
                QCOMPARE(answer(db, u"SELECT current_user"_s), pg.superuser());
            }
            // A second cluster alongside is a server of its own.
            PgCluster other;
            QVERIFY2(other.start(), qPrintable(other.reason()));
            QVERIFY(other.socketDir() != pg.socketDir() && other.dataDir() != pg.dataDir());
            QCOMPARE(answer(other.connect(u"postgres"_s),
                            u"SELECT count(*) FROM pg_database WHERE datname = 'laboratory'"_s),
                     u"0"_s);
            const QFileInfo socketDir(pg.socketDir());
            QCOMPARE(socketDir.owner(), pg.superuser());
            QVERIFY((socketDir.permissions() & 0x0077) == QFile::Permissions());
            folders = {pg.socketDir(), pg.dataDir(), other.socketDir(), other.dataDir()};
            QVERIFY(pg.stop());
        }
        for (const QString& folder : folders)
            QVERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
    }
};

QTEST_GUILESS_MAIN(TstPgCluster)
#include "tst_pg_cluster.moc"
