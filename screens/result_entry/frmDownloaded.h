#pragma once

#include "LabLogic.h"

#include <QHash>
#include <QSet>
#include <QMap>

#include "ResultEntryForm.h"

// The result window for exams interpreted against cut-off values.
class frmDownloaded : public ResultEntryForm {
    Q_OBJECT
public:
    frmDownloaded();

    void Fill_Results() override;
    // Writes the grid in one transaction; false (and the reason shown)
    // when nothing was saved.
    bool Save_Entries();
    // Previews or prints the saved results of the request.
    virtual void Print_Result();
    // "Y" when the cut-off value of the item is to be saved with its result.
    QString Get_ShowResultValue(const QString& code);

protected:
    void layoutRequestGrid() override;
    void takeOverDownloaded() override;
    void copyRequestedExams() override;
    void Save_And_Print(bool verify, bool print) override;
    void readSavedHeader() override;
    void valueChanged(int row) override;
    void fillingEnded() override;

private:
    void cutOffFill();

    // Shows what the laboratory stored for the rows saved.
    void showStored(const QStringList& requests);

    QHash<QString, LabLogic::CutOffRule> m_rules; // item -> the laboratory's rule
    QSet<QString> m_withCutOff;                   // items with a cut-off of their own
    QMap<QString, QString> m_verified;            // ITEM -> its verified saved result
};
