#pragma once

#include <QDialog>
#include <QMap>

class Connection;
class QComboBox;
class QLineEdit;
class QPushButton;

// A verified result is corrected only with a reason, chosen from the
// laboratory's list; "Other" asks for the words. The reason goes with the
// save into the audit trail and the amended report. Shown through the
// presenter, so a script can answer it.
class frmAmendmentReason : public QDialog {
    Q_OBJECT
public:
    frmAmendmentReason(const QStringList& reasons, const QStringList& exams);

    QString reason() const;

    // The rows (keys) whose typed value differs from their verified saved
    // result; a row without one is not amended.
    static QStringList amended(const QMap<QString, QString>& typed,
                               const QMap<QString, QString>& verified);
    // Asks why; empty when the user cancels (nothing is then saved).
    static QString ask(Connection& db, const QStringList& exams);

private:
    QComboBox* cboReason;
    QLineEdit* txtOther;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};
