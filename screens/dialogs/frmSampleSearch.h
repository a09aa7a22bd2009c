#pragma once

#include "component/SavedResults.h"

#include <QDialog>
#include <memory>

class Anchors;
class FlexGrid;
class QGroupBox;
class QLabel;
class QPushButton;

// Lists the samples the workstation's instrument has for one result date,
// with their patients, and lets the user pick one.
class frmSampleSearch : public QDialog, public SampleSearchDialog {
    Q_OBJECT
public:
    frmSampleSearch();
    ~frmSampleSearch() override;

    void set_wResultDate(const QString& value) override { m_resultDate = value; }
    void set_wInstrumentID(const QString& value) override { m_instrumentId = value; }
    void set_wSearchString(const QString& value) override { m_searchString = value; }
    void showModal() override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QGroupBox* fraHeader;
    QLabel* Image1;
    QLabel* lblHeader0;
    QGroupBox* fraBody;
    FlexGrid* msfgSampleNum;
    QPushButton* cmdSelect;
    QPushButton* cmdCancel;

    // Returns false when nothing was found: the dialog then closes itself.
    bool load();
    void cmdSelect_Click();
    // "posted to L-1001" for a sample of the day saved to a request, else empty.
    QString postedTo(const QString& sample) const;

    QString m_resultDate;
    QString m_instrumentId;
    QString m_searchString;
    std::unique_ptr<Anchors> m_anchors;
};
