#include "frmCriticalCall.h"
#include "platform/Clock.h"
#include "platform/Presenter.h"

#include <QDateTimeEdit>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

frmCriticalCall::frmCriticalCall(const QString& exam, const QString& result, const QString& flag)
{
    setObjectName(QStringLiteral("frmCriticalCall"));
    setWindowTitle(QStringLiteral("Critical Result"));
    setModal(true);

    lblExam = new QLabel(exam.trimmed(), this);
    lblExam->setObjectName(QStringLiteral("lblExam"));
    lblResult = new QLabel(QStringLiteral("%1  %2").arg(result.trimmed(), flag), this);
    lblResult->setObjectName(QStringLiteral("lblResult"));
    QFont bold = lblResult->font();
    bold.setBold(true);
    lblResult->setFont(bold);
    lblResult->setStyleSheet(QStringLiteral("color: #8b0000;"));

    txtReportedTo = new QLineEdit(this);
    txtReportedTo->setObjectName(QStringLiteral("txtReportedTo"));
    txtReportedTo->setMaxLength(100);
    txtReportedTo->setPlaceholderText(QStringLiteral("name and ward of the person called"));
    dtCalledAt = new QDateTimeEdit(this);
    dtCalledAt->setObjectName(QStringLiteral("dtCalledAt"));
    dtCalledAt->setDisplayFormat(QStringLiteral("MM/dd/yyyy hh:mm AP"));
    const QDateTime now = Clock::now();
    dtCalledAt->setDateTime(QDateTime(now.date(), QTime(now.time().hour(), now.time().minute())));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Exam:"), lblExam);
    form->addRow(QStringLiteral("Result:"), lblResult);
    auto* reportedLabel = new QLabel(QStringLiteral("&Reported to:"), this);
    reportedLabel->setBuddy(txtReportedTo);
    form->addRow(reportedLabel, txtReportedTo);
    auto* calledLabel = new QLabel(QStringLiteral("&Called at:"), this);
    calledLabel->setBuddy(dtCalledAt);
    form->addRow(calledLabel, dtCalledAt);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdOK->setEnabled(false);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);

    auto* note = new QLabel(QStringLiteral("The result is saved with this call; Cancel saves "
                                           "nothing."),
                            this);
    note->setWordWrap(true);
    auto* all = new QVBoxLayout(this);
    all->addLayout(form);
    all->addWidget(note);
    all->addLayout(buttons);
    setMinimumWidth(380);

    connectHandlers();
    txtReportedTo->setFocus();
}

void frmCriticalCall::connectHandlers()
{
    // Nobody reported to, no call: OK waits for a name.
    connect(txtReportedTo, &QLineEdit::textChanged, this,
            [this] { cmdOK->setEnabled(!reportedTo().isEmpty()); });
    connect(cmdOK, &QPushButton::clicked, this, [this] {
        if (!reportedTo().isEmpty())
            accept();
    });
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    setTabOrder(txtReportedTo, dtCalledAt);
    setTabOrder(dtCalledAt, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
}

bool frmCriticalCall::ask()
{
    setResult(QDialog::Rejected);
    Presenter::current().showModal(*this);
    return result() == QDialog::Accepted && !reportedTo().isEmpty();
}

QString frmCriticalCall::reportedTo() const
{
    return txtReportedTo->text().trimmed();
}

QDateTime frmCriticalCall::calledAt() const
{
    const QDateTime at = dtCalledAt->dateTime();
    return QDateTime(at.date(), QTime(at.time().hour(), at.time().minute()));
}
