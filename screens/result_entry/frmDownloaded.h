#pragma once

#include "labrules/LabLogic.h"

#include <QHash>
#include <QMap>
#include <QSet>

#include "component/model/ResultGrid.h"
#include "screens/result_entry/ResultEntryForm.h"

struct SaveHeader;

// The result window for exams interpreted against cut-off values.
class frmDownloaded : public ResultEntryForm {
    Q_OBJECT
public:
    frmDownloaded();

    void Fill_Results() override;
    // Writes the grid in one transaction; false (and the reason shown)
    // when nothing was saved.
    bool Save_Entries() override;
    // Previews or prints the saved results of the request.
    void Print_Result() override;
    // "Y" when the cut-off value of the item is to be saved with its result.
    QString Get_ShowResultValue(const QString& code);

protected:
    void layoutRequestGrid() override;
    int requestCol() const override { return col(CutOffCol::Request); }
    void takeOverDownloaded() override;
    void copyRequestedExams() override;
    void printed() override;
    bool closesAfterSave(bool saved, bool verify) const override;
    void readSavedHeader() override;
    void valueChanged(int row) override;
    void fillingEnded() override;

private:
    void cutOffFill();

    // The items of the window's own request whose verified result the grid
    // corrects, with the reason asked for them (empty: cancelled).
    QStringList amendedItems(const ResultGrid<CutOffCol>& grid, const SaveHeader& h,
                             QString& reason);
    // Shows what the laboratory stored for the rows saved.
    void showStored(const QStringList& requests);

    QHash<QString, LabLogic::CutOffRule> m_rules; // item -> the laboratory's rule
    QSet<QString> m_withCutOff;                   // items with a cut-off of their own
    QMap<QString, QString> m_verified;            // ITEM -> its verified saved result
};
