#pragma once

#include <QDateTime>
#include <QDialog>

class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;

// A critical result is saved only with the call that reported it: to whom
// and when. Shown through the presenter, so a script can answer it.
class frmCriticalCall : public QDialog {
    Q_OBJECT
public:
    frmCriticalCall(const QString& exam, const QString& result, const QString& flag);

    // Shows the dialog modally; true when the call was confirmed with OK.
    bool ask();
    QString reportedTo() const;
    // To the minute, as the picker shows it.
    QDateTime calledAt() const;

private:
    QLabel* lblExam;
    QLabel* lblResult;
    QLineEdit* txtReportedTo;
    QDateTimeEdit* dtCalledAt;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

    void connectHandlers();
};
