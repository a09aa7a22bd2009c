#pragma once

#include "ResultEntryForm.h"

// The result window for exams interpreted against cut-off values.
class frmDownloaded : public ResultEntryForm {
    Q_OBJECT
public:
    frmDownloaded();

    void Fill_Results() override;
    // "Y" when the cut-off value of the item is to be saved with its result.
    QString Get_ShowResultValue(const QString& code);

protected:
    void layoutRequestGrid() override;
    void takeOverDownloaded() override;
    void copyRequestedExams() override;
    void Save_And_Print(bool verify, bool print) override;

private:
    void cutOffFill();

    QString m_refNum;
};
