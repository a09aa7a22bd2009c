#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariant>
#include <memory>
#include <vector>

class QTextDocument;
class QPrinter;
class Connection;

// One data source of a report: a table or a stored procedure of the
// laboratory database, at a location "DB.owner.name", read with the log-on
// values it was given.
class ReportTable {
public:
    QString name;
    QString location;
    bool procedure = true;
    QStringList arguments; // parameter names, in argument order
    QString filterColumn;  // tables: the column compared with the first argument
    QString server, database, user, password;

    void setLogOnInfo(const QString& s, const QString& d, const QString& u, const QString& p)
    {
        server = s;
        database = d;
        user = u;
        password = p;
    }
};

struct ReportParameter {
    QString name;
    QVariantList currentValues;
    void addCurrentValue(const QVariant& v) { currentValues.append(v); }
};

// A report file: JSON with the parameter fields in order, the data tables,
// the body and named subreports. Rendered to a document for preview and
// printing; data is read through command texts with quoted values.
class Report {
public:
    // Opens a report file; a file that is missing or no report is error 75 / -2147217900.
    static std::unique_ptr<Report> open(const QString& path);
    // A report whose document is laid out already (a chart drawn from its own
    // data): render() hands a copy of it, with its properties, so the preview,
    // the printer and printOut treat it as any other report.
    static std::unique_ptr<Report> ofDocument(const QTextDocument& document, const QString& name);
    // Where a new output file goes when path is taken: beside it, named
    // "stem (label n).ext" ("copy" without a label). What is there is kept.
    static QString besideEarlier(const QString& path, const QString& label);

    const QString& path() const { return m_path; }
    void setHeaderText(const QString& text) { m_headerText = text; }
    const QString& headerText() const { return m_headerText; }
    QList<ReportTable>& tables() { return m_tables; }
    QList<ReportParameter>& parameterFields() { return m_parameters; }
    // Error 9 for a name the report does not have.
    Report& openSubreport(const QString& name);
    // The option cleared before a direct print: ask nothing when printing.
    void setPromptBeforePrint(bool prompt) { m_prompt = prompt; }
    bool promptBeforePrint() const { return m_prompt; }

    // The document with every table's rows, subreports included.
    std::unique_ptr<QTextDocument> render() const;
    // Prints a rendered document page by page: the report's page header
    // (the patient, request) at the top of every page, "Page x of y" at the
    // foot, and no table row split across two pages.
    static void printDocument(const QTextDocument& document, QPrinter* printer);
    // Prints without a dialog: to a PDF file when target ends in ".pdf" or
    // names a folder (then documentName + ".pdf" in it), else to the printer
    // of that name, which must be available. An existing PDF is kept: the
    // print goes beside it. Returns where it went.
    QString printOut(const QString& target, const QString& documentName) const;

private:
    Report() = default;
    static std::unique_ptr<Report> fromJson(const QJsonObject& o, const QString& path);
    QString html(Connection* db, QString* pageHeader = nullptr) const;
    QString valueOf(const QString& parameter) const;

    QString m_path;
    QString m_headerText;
    QString m_page = QStringLiteral("A4");
    QList<ReportTable> m_tables;
    QList<ReportParameter> m_parameters;
    QJsonArray m_body;
    QString m_pageHeader; // placeholders as in the body
    QString m_laterCopy;  // what a later print of the same report is named
    mutable QString m_laterCopyText;
    std::vector<std::pair<QString, std::unique_ptr<Report>>> m_subreports;
    std::shared_ptr<const QTextDocument> m_laidOut;
    bool m_prompt = true;
};
