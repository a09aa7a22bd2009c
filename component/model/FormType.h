#pragma once

#include <QString>

// The exam formats a request names (Lab_Get_PatientInformation's FormType
// and ValueType), compared exactly: "p" is no format.
enum class FormType : char {
    CutOff = '5',
    Package = 'P', // several exams; the value type says how they read
    Western = 'W',
    ShortForm = 'D',
    Hematology = 'H',
    Wide = 'L',
};

bool formIs(const QString& code, FormType type);

// Which result window fits a request's exam format.
enum class ResultWindowKind { None, Downloaded, NVDownloads };
ResultWindowKind chooseResultWindow(const QString& formType, const QString& valueType);

// Reported against cut-off values: a cut-off form, or a package of them.
bool isCutOffForm(const QString& formType, const QString& valueType);
// Reported on the short form with remarks (and not a cut-off form).
bool isShortForm(const QString& formType, const QString& valueType);
// Previewed whole pages side by side: the long hematology forms.
bool isWideForm(const QString& formType, const QString& valueType);
// Every format the cut-off window opens for stores its rows as cut-off
// results (W and H too, though they have no report yet).
bool savesWithCutOff(const QString& formType, const QString& valueType);
