#pragma once

#include "component/AutomationObject.h"

#include <QVariant>
#include <optional>

// The component's public object. Creating it opens the laboratory database;
// the host sets who works and how, then calls Show_ResultEntry for each
// request. The properties are write-only and go straight into the session.
class LIS_EXPORT clsLISResultEntry : public AutomationObject {
public:
    static constexpr auto kProgId = "Velquor.clsLISResultEntry";

    clsLISResultEntry();
    ~clsLISResultEntry() override;
    clsLISResultEntry(const clsLISResultEntry&) = delete;
    clsLISResultEntry& operator=(const clsLISResultEntry&) = delete;

    QString progId() const override { return QString::fromLatin1(kProgId); }

    // Shows the result window for the request and returns when the user has
    // closed it. Top and Left are in twips; an omitted Top is 0, an omitted
    // Left keeps the window's designed left.
    void Show_ResultEntry(const QString& RequestNum, std::optional<qint16> Top = std::nullopt,
                          std::optional<QVariant> Left = std::nullopt);

    void VerifyMode(bool bVerifyMode);
    void EditMode(bool bEditMode);
    void EntryMode(qint16 iEntryMode);
    void EmployeeCode(const QString& sEmployeeCode);
    void EmployeeName(const QString& sEmployeeName);
    void Clerk(bool bClerk);
    void SupervisorId(const QString& sSupervisorID);
};
