#include "AuditChain.h"

#include <QCryptographicHash>

QString AuditChain::link(const QString& previousHash, const QVariantList& row)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(previousHash.toUtf8());
    for (const QVariant& v : row) {
        // The unit separator keeps "ab"+"c" apart from "a"+"bc".
        h.addData(QByteArrayView("\x1f", 1));
        h.addData(v.toString().toUtf8());
    }
    return QString::fromLatin1(h.result().toHex());
}
