#include "AuditChain.h"

#include <QCryptographicHash>
#include <QDateTime>

QString AuditChain::link(const QString& previousHash, const QVariantList& row)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(previousHash.toUtf8());
    for (const QVariant& v : row) {
        // The unit separator keeps "ab"+"c" apart from "a"+"bc".
        h.addData(QByteArrayView("\x1f", 1));
        // A moment as the embedded laboratory stores it, from either engine.
        h.addData((v.metaType().id() == QMetaType::QDateTime
                       ? v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                       : v.toString())
                      .toUtf8());
    }
    return QString::fromLatin1(h.result().toHex());
}
