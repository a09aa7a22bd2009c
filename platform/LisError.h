#pragma once

#include "platform/lis_export.h"

#include <QString>
#include <exception>

// Run-time error numbers that callers test for. Database failures carry
// negative numbers, as the original client library reported them.
namespace ErrNo {
constexpr int InvalidArgument = 5;
constexpr int Overflow = 6;
constexpr int FileNotFound = 53;
constexpr int ObjectNotSet = 91;
constexpr int SubscriptOutOfRange = 9;
constexpr int TypeMismatch = 13;
constexpr int FileAccess = 75;
constexpr int InvalidUseOfNull = 94;
constexpr int ObjectAlreadyLoaded = 360;
constexpr int ObjectUnloaded = 364;
constexpr int CannotCreateObject = 429;
constexpr int NotSupported = 438;
constexpr int NoCurrentRecord = 3021;
constexpr int ItemNotFound = 3265;
constexpr int ObjectOpen = 3705;
constexpr int ObjectClosed = 3704;
constexpr int ReportFailed = 20500;
constexpr int InvalidRow = 30009;
constexpr int InvalidColumn = 30010;
constexpr int DbConnectionFailed = -2147467259;
constexpr int DbCommandFailed = -2147217900;
constexpr int DbTransactionFailed = -2147168242;
} // namespace ErrNo

// The one error type: a number and a description, nothing else.
class LIS_EXPORT LisError : public std::exception {
public:
    LisError(int number, QString description);

    int number() const { return m_number; }
    const QString& description() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_description;
    QByteArray m_what;
};

// A value too large for the short integer it is read into.
inline LisError overflowError()
{
    return LisError(ErrNo::Overflow, QStringLiteral("Overflow"));
}
