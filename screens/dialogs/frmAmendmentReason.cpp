#include "frmAmendmentReason.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
bool isOther(const QString& reason)
{
    return reason.trimmed().compare(QStringLiteral("Other"), Qt::CaseInsensitive) == 0;
}
} // namespace

frmAmendmentReason::frmAmendmentReason(const QStringList& reasons, const QStringList& exams)
{
    setObjectName(QStringLiteral("frmAmendmentReason"));
    setWindowTitle(QStringLiteral("Amended Result"));
    setModal(true);

    auto* what = new QLabel(QStringLiteral("A verified result is corrected: %1. The report "
                                           "printed next is an amended report.")
                                .arg(exams.join(QStringLiteral(", "))),
                            this);
    what->setWordWrap(true);
    cboReason = new QComboBox(this);
    cboReason->setObjectName(QStringLiteral("cboReason"));
    cboReason->addItems(reasons);
    txtOther = new QLineEdit(this);
    txtOther->setObjectName(QStringLiteral("txtOther"));
    txtOther->setMaxLength(200);
    txtOther->setPlaceholderText(QStringLiteral("what happened"));
    auto* form = new QFormLayout;
    auto* reasonLabel = new QLabel(QStringLiteral("&Reason:"), this);
    reasonLabel->setBuddy(cboReason);
    form->addRow(reasonLabel, cboReason);
    auto* otherLabel = new QLabel(QStringLiteral("&Other:"), this);
    otherLabel->setBuddy(txtOther);
    form->addRow(otherLabel, txtOther);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* all = new QVBoxLayout(this);
    all->addWidget(what);
    all->addLayout(form);
    all->addLayout(buttons);
    setMinimumWidth(420);

    // "Other" waits for the words; any other reason is complete.
    const auto update = [this] {
        const bool other = isOther(cboReason->currentText());
        txtOther->setEnabled(other);
        cmdOK->setEnabled(!reason().isEmpty());
    };
    connect(cboReason, &QComboBox::currentTextChanged, this, update);
    connect(txtOther, &QLineEdit::textChanged, this, update);
    connect(cmdOK, &QPushButton::clicked, this, [this] {
        if (!reason().isEmpty())
            accept();
    });
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    update();
    cboReason->setFocus();
}

QString frmAmendmentReason::reason() const
{
    const QString chosen = cboReason->currentText().trimmed();
    if (!isOther(chosen))
        return chosen;
    const QString words = txtOther->text().trimmed();
    return words.isEmpty() ? QString() : chosen + QStringLiteral(": ") + words;
}

QStringList frmAmendmentReason::amended(const QMap<QString, QString>& typed,
                                        const QMap<QString, QString>& verified)
{
    QStringList rows;
    for (auto it = typed.cbegin(); it != typed.cend(); ++it)
        if (const auto saved = verified.constFind(it.key());
            saved != verified.cend() && saved->trimmed() != it->trimmed())
            rows << it.key();
    return rows;
}

QString frmAmendmentReason::ask(Connection& db, const QStringList& exams)
{
    QStringList reasons;
    try {
        for (auto rs = db.openRecordset(QStringLiteral("Lab_GetAmendmentReasons"),
                                        CursorOptions::clientDynamic());
             !rs->eof(); rs->moveNext())
            reasons << rs->textOrEmpty(QStringLiteral("Reason"));
    } catch (const LisError&) {
    }
    if (reasons.isEmpty())
        reasons = {QStringLiteral("Transcription error"), QStringLiteral("Instrument error"),
                   QStringLiteral("Specimen problem"), QStringLiteral("Other")};
    frmAmendmentReason dialog(reasons, exams);
    dialog.setResult(QDialog::Rejected);
    Presenter::current().showModal(dialog);
    return dialog.result() == QDialog::Accepted ? dialog.reason() : QString();
}
