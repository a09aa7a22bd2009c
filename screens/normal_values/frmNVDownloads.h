#pragma once

#include "ResultEntryForm.h"

// The result window for exams with normal values: every result in SI and
// in conventional units, saved with its result summary.
class frmNVDownloads : public ResultEntryForm {
    Q_OBJECT
public:
    frmNVDownloads();

    void Fill_Results() override;
    // Writes the built statements in one transaction; false (and the reason
    // shown) when nothing was saved.
    bool Save_Entries();
    virtual void Print_Result();

protected:
    void layoutRequestGrid() override;
    void takeOverDownloaded() override;
    void copyRequestedExams() override;
    void Save_And_Print(bool verify, bool print) override;
    void fillingEnded() override;
    void valueChanged(int row) override;
    QString valueRefusal(const QString& value) const override;
    bool isReChecked(int row) const override;
    void setReChecked(int row, bool on) override;

private:
    struct RowSave {
        QString requestNum;
        QString examCode;
        QString statement;
        QString summary;
        // The conventional result is the laboratory's to derive: the
        // summary's conventional part is read back after the row is saved.
        bool derived = false;
    };
    void savedValuesFill();
    // Builds one save statement and one result summary per grid row; false
    // (and the reason shown) when a value cannot be read.
    bool buildStatements();
    void writeHeaderFields();
    static QString derivedConventionalPart(Connection& db, const RowSave& row);
    bool verifies() const;

    QList<RowSave> m_rows;
};
