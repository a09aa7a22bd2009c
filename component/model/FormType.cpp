#include "FormType.h"

#include <initializer_list>

bool formIs(const QString& code, FormType type)
{
    return code.size() == 1 && code.at(0) == QLatin1Char(char(type));
}

ResultWindowKind chooseResultWindow(const QString& formType, const QString& valueType)
{
    // Exact, case-sensitive comparisons: "h" is no format.
    const auto in = [](const QString& v, std::initializer_list<const char*> set) {
        for (const char* s : set)
            if (v == QLatin1String(s))
                return true;
        return false;
    };
    if (formIs(formType, FormType::Hematology)) {
        if (in(valueType, {"Z", "5", "W"}))
            return ResultWindowKind::Downloaded;
        if (in(valueType, {"1", "7", "8", "B"}))
            return ResultWindowKind::NVDownloads;
        return ResultWindowKind::None;
    }
    if (in(formType, {"5", "W"}))
        return ResultWindowKind::Downloaded;
    if (in(formType, {"1", "7", "8", "B"}))
        return ResultWindowKind::NVDownloads;
    return ResultWindowKind::None;
}

bool isCutOffForm(const QString& formType, const QString& valueType)
{
    return formIs(formType, FormType::CutOff) ||
           (formIs(formType, FormType::Package) && formIs(valueType, FormType::CutOff));
}

bool isShortForm(const QString& formType, const QString& valueType)
{
    return !isCutOffForm(formType, valueType) &&
           (formIs(formType, FormType::ShortForm) ||
            (formIs(formType, FormType::Package) && formIs(valueType, FormType::ShortForm)));
}

bool savesWithCutOff(const QString& formType, const QString& valueType)
{
    return isCutOffForm(formType, valueType) ||
           chooseResultWindow(formType, valueType) == ResultWindowKind::Downloaded;
}

bool isWideForm(const QString& formType, const QString& valueType)
{
    return formIs(formType, FormType::Wide) ||
           (formIs(formType, FormType::Hematology) &&
            (formIs(valueType, FormType::Wide) || formIs(valueType, FormType::Hematology) ||
             formIs(valueType, FormType::Package)));
}
