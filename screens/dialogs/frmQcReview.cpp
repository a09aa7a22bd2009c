#include "frmQcReview.h"
#include "platform/CommandText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/db/Recordset.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

frmQcReview::frmQcReview(Connection& db, const QString& requestNum, const QString& employee)
    : m_db(db)
    , m_request(requestNum.trimmed())
    , m_employee(employee.trimmed())
{
    setObjectName(QStringLiteral("frmQcReview"));
    setWindowTitle(QStringLiteral("Quality Control Hold"));
    setModal(true);
    lstHeld = new QListWidget(this);
    lstHeld->setObjectName(QStringLiteral("lstHeld"));
    txtAction = new QLineEdit(this);
    txtAction->setObjectName(QStringLiteral("txtAction"));
    txtAction->setMaxLength(200);
    txtAction->setPlaceholderText(QStringLiteral("what was done, e.g. recalibrated"));
    cmdAction = new QPushButton(QStringLiteral("&Record Action"), this);
    cmdAction->setObjectName(QStringLiteral("cmdAction"));
    cmdConfirm = new QPushButton(QStringLiteral("&Confirm Reviewed"), this);
    cmdConfirm->setObjectName(QStringLiteral("cmdConfirm"));
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdConfirm);
    buttons->addStretch();
    buttons->addWidget(cmdClose);
    auto* action = new QHBoxLayout;
    auto* actionLabel = new QLabel(QStringLiteral("Corrective &action:"), this);
    actionLabel->setBuddy(txtAction);
    action->addWidget(actionLabel);
    action->addWidget(txtAction, 1);
    action->addWidget(cmdAction);
    auto* all = new QVBoxLayout(this);
    all->addWidget(new QLabel(
        QStringLiteral("Results of request %1 held by quality control:").arg(m_request), this));
    all->addWidget(lstHeld);
    all->addLayout(action);
    all->addLayout(buttons);
    setMinimumWidth(480);

    const auto selected = [this] { return lstHeld->currentRow(); };
    connect(cmdAction, &QPushButton::clicked, this, [this, selected] {
        const int row = selected();
        if (row < 0 || txtAction->text().trimmed().isEmpty())
            return;
        const QString item = lstHeld->item(row)->data(Qt::UserRole).toString();
        if (send(CommandText::call(
                QStringLiteral("sp_QCAction"),
                {m_instruments.value(row), item, txtAction->text().trimmed(), m_employee})))
            txtAction->clear();
    });
    connect(cmdConfirm, &QPushButton::clicked, this, [this, selected] {
        const int row = selected();
        if (row >= 0)
            send(CommandText::call(
                QStringLiteral("sp_QCConfirm"),
                {m_request, lstHeld->item(row)->data(Qt::UserRole).toString(), m_employee}));
    });
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    reload();
}

void frmQcReview::ask()
{
    Presenter::current().showModal(*this);
}

void frmQcReview::reload()
{
    lstHeld->clear();
    m_instruments.clear();
    auto rs = m_db.openRecordset(CommandText::call(QStringLiteral("sp_QCHolds"), {m_request}),
                                 CursorOptions::clientDynamic());
    for (; !rs->eof(); rs->moveNext()) {
        auto* row = new QListWidgetItem(rs->text(QStringLiteral("ItemID")) + QStringLiteral(": ") +
                                        rs->text(QStringLiteral("QCHold")));
        row->setData(Qt::UserRole, rs->text(QStringLiteral("ItemID")));
        lstHeld->addItem(row);
        m_instruments << rs->text(QStringLiteral("InstrumentID"));
    }
    if (lstHeld->count() > 0)
        lstHeld->setCurrentRow(0);
}

bool frmQcReview::send(const QString& text)
{
    try {
        m_db.execute(text);
    } catch (const LisError& e) {
        msgBox(QStringLiteral("Error %1: %2").arg(e.number()).arg(e.description()),
               MsgIcon::Critical, windowTitle());
        return false;
    }
    reload();
    return true;
}
