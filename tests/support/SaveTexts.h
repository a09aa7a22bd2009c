#pragma once

#include "platform/CommandText.h"

// The saves the result windows send, their arguments named, for tests that
// send them as any client could; a test sets only what it is about (every
// member has a default, so designated initializers may leave any out).
struct CutOffSave {
    QString request = "L-1001", item = "HBSAG", formType = "5", value = {}, cutOff = {},
            result = {};
    QString examName = {}; // the item's code when empty
    QString accession = "A-101", lraTime = "3/7/2024 1:30:00 PM";
    QString remarks = "Slightly hemolysed", row = "1";

    QString text() const
    {
        return CommandText::call("Laboratory..Lab_SaveWithCutOff",
                                 QStringList{accession, "3/7/2024 2:05:00 PM", lraTime, request,
                                             item, formType, examName.isEmpty() ? item : examName,
                                             value, cutOff, result, remarks, row});
    }
};

struct NormalValueSave {
    QString request = "L-1016", item = {}, si = {}, conventional = {}, factor = {};
    QString siNormal = {}, conventionalNormal = {};
    QString verified = "N", employee = "MT02", accession = "A-1";
    QString reported = "3/7/2024 9:30:00 AM", reason = {}; // no reason argument when empty
    QString submitted = "3/7/2024 8:00:00 AM", lraTime = "3/7/2024 7:45:00 AM";

    QString text() const
    {
        const QString no; // arguments the window leaves empty here
        const QStringList args{request,   item,         si,
                               siNormal,  no,           no,
                               no,        conventional, conventionalNormal,
                               no,        no,           no,
                               factor,    "1",          "1",
                               accession, no,           submitted,
                               lraTime,   no,           employee,
                               verified,  "AN-01",      reported,
                               reason};
        return CommandText::call("Lab_FormMaker_SaveResultWithNormalValues2",
                                 reason.isEmpty() ? args.first(24) : args);
    }
};
