#pragma once

#include <QString>
#include <QVariantList>
#include <functional>
#include <memory>

// Putting a result report through the report engine. The report opened
// last is session().CurrentReport.

// Opens a report file, points every table at the database with the
// session's log-on values, and hands the values to the parameter fields in
// their order.
void OpenReportWithLogOn(const QString& ReportPath, const QString& DatabaseName,
                         const QVariantList& Values);
// The same for a subreport of the current report.
void ConfigureSubreport(const QString& SubreportName, const QString& DatabaseName,
                        const QVariantList& Values);
// Prints the current report at once (no dialog) or previews it in the
// report viewer. With no report open it shows nothing and returns.
void PrintOrPreview(bool ShowGroupTree, const QString& Caption, bool DirectPrint,
                    bool WithVerification);

// The folder of the component's program file, where the report files are.
QString reportFolder();

// The report viewer as PrintOrPreview drives it; setting the caption is
// the first touch and runs its load step.
class ReportViewer {
public:
    virtual ~ReportViewer();
    virtual void set_WithVerification(bool value) = 0;
    virtual void set_ShowGroupTree(bool value) = 0;
    virtual void setCaption(const QString& caption) = 0;
    virtual void set_DirectPrint(bool value) = 0;
    virtual void showModal() = 0;
};
void installReportViewer(std::function<std::unique_ptr<ReportViewer>()> make);
