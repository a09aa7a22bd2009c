#pragma once

#include <QDialog>

class Connection;
class QLineEdit;
class QListWidget;
class QPushButton;

// The quality-control holds on a request's results, as the laboratory
// reports them (sp_QCHolds): a technologist records the corrective action
// of a rejected run and confirms each released result after reviewing it.
// The laboratory decides what each press may do; a refusal is shown as sent.
class frmQcReview : public QDialog {
    Q_OBJECT
public:
    frmQcReview(Connection& db, const QString& requestNum, const QString& employee);

    // Shows the dialog modally through the presenter.
    void ask();
    // Reads the holds again; the rows list "ITEM: mark".
    void reload();

private:
    QListWidget* lstHeld;
    QLineEdit* txtAction;
    QPushButton* cmdAction;
    QPushButton* cmdConfirm;
    QPushButton* cmdClose;

    // Sends one command text; false, with the message shown, when refused.
    bool send(const QString& text);

    Connection& m_db;
    QString m_request;
    QString m_employee;
    QStringList m_instruments; // per row of lstHeld
};
