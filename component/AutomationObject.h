#pragma once

#include "platform/lis_export.h"

#include <QString>
#include <memory>

// A class a host creates by its ProgID.
class LIS_EXPORT AutomationObject {
public:
    virtual ~AutomationObject();
    virtual QString progId() const = 0;
};

// "Velquor.clsLISResultEntry" or "Velquor.ConnSettings"; any other ProgID is
// error 429. Creating the result entry object opens the laboratory database,
// so its failures arrive here.
LIS_EXPORT std::unique_ptr<AutomationObject> CreateObject(const QString& progId);

// CreateObject, checked for the class the caller expects.
template <typename T> std::unique_ptr<T> CreateObjectAs(const QString& progId)
{
    std::unique_ptr<AutomationObject> o = CreateObject(progId);
    T* t = dynamic_cast<T*>(o.get());
    if (!t)
        return nullptr;
    o.release();
    return std::unique_ptr<T>(t);
}
