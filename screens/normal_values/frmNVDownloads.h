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

private:
    struct RowSave {
        QString requestNum;
        QString statement;
        QString summary;
    };
    void savedValuesFill();
    // Builds one save statement and one result summary per grid row; false
    // (and the reason shown) when a value cannot be read.
    bool buildStatements();
    void writeHeaderFields();
    bool verifies() const;

    QList<RowSave> m_rows;
};
