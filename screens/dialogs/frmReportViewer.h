#pragma once

#include "component/reports/ReportPrinting.h"

#include <QDialog>
#include <memory>

class QGroupBox;
class QLabel;
class QPrintPreviewWidget;
class QPushButton;
class QScreen;
class QTextDocument;
class QToolBar;

// Previews the current report and, when asked, lets a medical technologist
// verify the request's results from it, alone or with a direct print.
class frmReportViewer : public QDialog, public ReportViewer {
    Q_OBJECT
public:
    frmReportViewer();
    ~frmReportViewer() override;

    void set_WithVerification(bool value) override { m_withVerification = value; }
    void set_ShowGroupTree(bool) override {}
    void setCaption(const QString& caption) override;
    void set_DirectPrint(bool) override {}
    void showModal() override;
    bool ResultVerified() const { return m_resultVerified; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QPrintPreviewWidget* crViewer1;
    QToolBar* viewerTools;
    QPushButton* cmdVerify;
    QPushButton* cmdEdit;
    QPushButton* cmdPrint;
    QGroupBox* fmeFax;
    QLabel* Image1;

    void fitToScreen(QScreen* screen);
    void zoom(qreal factor);
    void load();
    void verify(bool print);
    void unload();

    std::unique_ptr<QTextDocument> m_document;
    bool m_withVerification = false;
    bool m_resultVerified = false;
    bool m_loaded = false;
    bool m_unloaded = false;
    QSize m_wanted;
};
