#pragma once

#include "component/model/ResultChecks.h"
#include "component/model/SaveQuestions.h"
#include "screens/result_entry/ResultEntryForm.h"

#include <QHash>
#include <QMap>

// The result window for exams with normal values: every result in SI and
// in conventional units, saved with its result summary.
class frmNVDownloads : public ResultEntryForm {
    Q_OBJECT
public:
    frmNVDownloads();

    void Fill_Results() override;
    // Writes the built statements in one transaction; false (and the reason
    // shown) when nothing was saved.
    bool Save_Entries() override;
    void Print_Result() override;

protected:
    void layoutRequestGrid() override;
    int requestCol() const override { return col(NvCol::Request); }
    void takeOverDownloaded() override;
    void copyRequestedExams() override;
    // Builds the statements, asks about empty rows and the checks.
    bool questionsAccepted() override;
    void fillingEnded() override;
    void valueChanged(int row) override;
    QString valueRefusal(const QString& value) const override;
    bool isReChecked(int row) const override;
    void setReChecked(int row, bool on) override;

private:
    struct RowSave : SaveCommands::NvRowSave {
        // What the laboratory is told of the row, when it has checks for the
        // request: after the row's statement, and, for a value saved before
        // and left as it was, before the request is first verified (the
        // laboratory verifies nothing critical uncalled or changed unseen).
        QStringList recorded;
        QStringList early;
    };
    // A value as the instrument sent it, and the sample it came with.
    struct TakenValue {
        QString value;
        QString sample;
    };
    void savedValuesFill();
    // Builds one save statement and one result summary per grid row; false
    // (and the reason shown) when a value cannot be read.
    bool buildStatements();
    void writeHeaderFields();
    // The "request|ITEM" keys of rows correcting a verified result, with the
    // reason asked for them (empty: cancelled).
    QStringList amendedRows(QString& reason) const;
    static void tellWaiting(const QMap<QString, QStringList>& waiting);
    // Every row with its summary, logbook entry, verification and what the
    // checks tell, in the save's transaction; returns the exams left waiting
    // for another technologist, by request.
    QMap<QString, QStringList> writeRows(Connection& db, const QStringList& amended,
                                         const QString& reason);
    struct RowWriter;
    static void saveSummary(Connection& db, const RowSave& row);
    static QString derivedConventionalPart(Connection& db, const RowSave& row);
    bool verifies() const;

    // The checks of the results (ResultChecks.cpp has the rules).
    void loadChecks();
    void layoutCheckColumns();
    void showChecks(int row);
    const ItemChecks* checksOf(int row) const;
    // Asks about implausible, critical and changed results; false when the
    // user would rather not save, and then nothing is.
    bool confirmChecks(bool verifying);
    QList<CheckedRow> checkedRows() const;
    QString rowKey(int row) const;

    QList<RowSave> m_rows;
    ResultChecks m_checks;
    bool m_checksShown = false;
    QHash<QString, TakenValue> m_taken;    // by rowKey
    QHash<QString, QString> m_savedValues; // as filled, by rowKey
};
