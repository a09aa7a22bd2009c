#pragma once

#include <QDate>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

class Connection;

// One save of a request's cut-off rows B0001..Bn exactly as the cut-off
// window sends it (frmDownloaded::Save_Entries): in one transaction of the
// connection, per row the logbook lookup (and its first entry), the item's
// ShowResultValue lookup, Lab_SaveWithCutOff and Lab_UpdateDLHemaResult
// posting `sample` of AN-01 downloaded on `day`. A failure rolls back and
// throws the LisError.
void saveThroughCommands(Connection& db, const QString& request, const QString& sample, int rows,
                         const QDate& day);

// The same writes as prepared statements on an open QSQLITE or QPSQL
// connection (unqualified names must reach the laboratory's tables), in one
// transaction: the logbook lookup and first entry, the item lookup, the
// result and header upserts and the posting of the sample, per row. The
// statements are prepared once, by the constructor. A failed statement
// stops the program: a baseline that failed would flatter the component.
class DirectSave {
public:
    DirectSave(const QSqlDatabase& db, const QDate& day);
    void save(const QString& request, const QString& sample, int rows);

private:
    QSqlDatabase m_db;
    QString m_from, m_to;
    QSqlQuery m_logbook, m_logbookInsert, m_item, m_result, m_header, m_post;
};
