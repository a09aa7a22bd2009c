#include "Report.h"
#include "platform/CommandText.h"
#include "platform/LisError.h"
#include "platform/PrivateFiles.h"
#include "platform/db/Connection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QPageSize>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRegularExpression>
#include <QTextDocument>

#include <functional>

namespace {
[[noreturn]] void fail(const QString& message)
{
    throw LisError(ErrNo::ReportFailed, message);
}

QString esc(const QString& s)
{
    return s.toHtmlEscaped();
}

QString connectionText(const ReportTable& t)
{
    QString s = QStringLiteral("Provider=SQLOLEDB.8");
    s += t.user.isEmpty()
             ? QStringLiteral(";Integrated Security=SSPI")
             : QStringLiteral(";User ID=") + ConnectionString::quoteValue(t.user) +
                   QStringLiteral(";Password=") + ConnectionString::quoteValue(t.password);
    return s + QStringLiteral(";Initial Catalog=") + ConnectionString::quoteValue(t.database) +
           QStringLiteral(";Data Source=") + ConnectionString::quoteValue(t.server);
}

// The rows of every table of a report, read once for one rendering.
using Data = QHash<QString, std::shared_ptr<const ResultSet>>;
using ValueOf = std::function<QString(const QString&)>;

QString commandOf(const ReportTable& t, const QStringList& values)
{
    if (t.procedure)
        return CommandText::call(t.location, values);
    return QStringLiteral("select * from ") + t.location +
           (t.filterColumn.isEmpty() ? QString()
                                     : QStringLiteral(" where ") + t.filterColumn +
                                           QStringLiteral(" = ") +
                                           CommandText::quoted(values.value(0)));
}

// Each table is read through its own log-on; tables that share one share
// the connection. `own` keeps the last connection opened, for subreports.
Data readTables(const QList<ReportTable>& tables, Connection* sharedDb,
                std::unique_ptr<Connection>& own, const ValueOf& valueOf)
{
    Data data;
    for (const ReportTable& t : tables) {
        Connection* db = sharedDb;
        if (!db || db->connectionString() != connectionText(t)) {
            own = std::make_unique<Connection>();
            own->open(connectionText(t));
            db = own.get();
        }
        QStringList values;
        for (const QString& a : t.arguments)
            values << valueOf(a);
        data.insert(t.name.toLower(), std::make_shared<const ResultSet>(
                                          db->openRecordset(commandOf(t, values))->data()));
    }
    return data;
}

// What the blocks of one rendering fill their placeholders from.
struct Rendering {
    const Data& data;
    ValueOf valueOf;
    QString headerText;

    QString field(const QString& table, const QString& column, int row = 0) const
    {
        auto rs = data.value(table.toLower());
        if (!rs || row >= rs->rows.size())
            return QString();
        const int c = int(rs->columns.indexOf(QRegularExpression(
            QStringLiteral("^") + QRegularExpression::escape(column) + QStringLiteral("$"),
            QRegularExpression::CaseInsensitiveOption)));
        return c < 0 ? QString() : Recordset::toText(rs->rows[row].value(c));
    }

    QString fill(const QString& templ) const
    {
        static const QRegularExpression placeholder(
            QStringLiteral("\\{(\\?)?([\\w ]+)(?:\\.(\\w+))?\\}"));
        QString out;
        qsizetype last = 0;
        for (auto it = placeholder.globalMatch(templ); it.hasNext();) {
            const auto m = it.next();
            out += esc(templ.mid(last, m.capturedStart() - last));
            if (m.captured(1) == QLatin1String("?"))
                out += esc(valueOf(m.captured(2)));
            else if (m.captured(3).isEmpty() && m.captured(2) == QLatin1String("header"))
                out += esc(headerText);
            else
                out += esc(field(m.captured(2), m.captured(3)));
            last = m.capturedEnd();
        }
        return out + esc(templ.mid(last));
    }

    // "Table.Column": shown only when that field holds something.
    bool shown(const QString& when) const
    {
        if (when.isEmpty())
            return true;
        return !field(when.section(QLatin1Char('.'), 0, 0), when.section(QLatin1Char('.'), 1))
                    .trimmed()
                    .isEmpty();
    }
};

QString titleBlock(const Rendering& r, const QJsonObject& b)
{
    QString h = QStringLiteral("<p align=\"center\" style=\"font-size:15pt; font-weight:bold; "
                               "margin:0\">%1</p>")
                    .arg(esc(r.headerText));
    for (const QJsonValue& line : b.value(QStringLiteral("lines")).toArray())
        h += QStringLiteral("<p align=\"center\" style=\"margin:0\">%1</p>")
                 .arg(r.fill(line.toString()));
    return h;
}

QString headingBlock(const Rendering& r, const QJsonObject& b)
{
    return QStringLiteral("<h3 align=\"center\" style=\"margin-top:10px\">%1</h3>")
        .arg(r.fill(b.value(QStringLiteral("text")).toString()));
}

QString textBlock(const Rendering& r, const QJsonObject& b)
{
    return QStringLiteral("<p>%1</p>").arg(r.fill(b.value(QStringLiteral("text")).toString()));
}

// Label and value pairs, two to a line.
QString fieldsBlock(const Rendering& r, const QJsonObject& b)
{
    QString h = QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"2\">");
    const QJsonArray items = b.value(QStringLiteral("items")).toArray();
    for (int i = 0; i < items.size(); i += 2) {
        h += QStringLiteral("<tr>");
        for (int k = i; k < i + 2; ++k) {
            const QJsonArray item = items.at(k).toArray();
            h += k < items.size()
                     ? QStringLiteral("<td width=\"18%\"><b>%1</b></td><td width=\"32%\">"
                                      "%2</td>")
                           .arg(esc(item.at(0).toString()), r.fill(item.at(1).toString()))
                     : QStringLiteral("<td></td><td></td>");
        }
        h += QStringLiteral("</tr>");
    }
    return h + QStringLiteral("</table>");
}

QString tableBlock(const Rendering& r, const QJsonObject& b)
{
    const QString table = b.value(QStringLiteral("table")).toString();
    const QJsonArray columns = b.value(QStringLiteral("columns")).toArray();
    const auto rs = r.data.value(table.toLower());
    if (b.value(QStringLiteral("hideWhenEmpty")).toBool() && (!rs || rs->rows.isEmpty()))
        return QString();
    QString h = QStringLiteral("<table width=\"100%\" border=\"1\" cellspacing=\"0\" "
                               "cellpadding=\"3\" style=\"border-collapse:collapse; "
                               "margin-top:6px\"><thead><tr>");
    for (const QJsonValue& c : columns)
        h += QStringLiteral("<th bgcolor=\"#dde4ee\" width=\"%2%\" align=\"left\">%1</th>")
                 .arg(esc(c.toArray().at(0).toString()))
                 .arg(c.toArray().at(2).toInt());
    h += QStringLiteral("</tr></thead>");
    const int rows = rs ? int(rs->rows.size()) : 0;
    for (int row = 0; row < rows; ++row) {
        h += QStringLiteral("<tr>");
        for (const QJsonValue& c : columns)
            h += QStringLiteral("<td>%1</td>")
                     .arg(esc(r.field(table, c.toArray().at(1).toString(), row)));
        h += QStringLiteral("</tr>");
    }
    if (rows == 0)
        h += QStringLiteral("<tr><td colspan=\"%1\"><i>%2</i></td></tr>")
                 .arg(columns.size())
                 .arg(esc(b.value(QStringLiteral("empty"))
                              .toString(QStringLiteral("No results saved."))));
    return h + QStringLiteral("</table>");
}

QString signaturesBlock(const Rendering& r, const QJsonObject& b)
{
    QString h = QStringLiteral("<table width=\"100%\" cellpadding=\"4\" style=\"margin-top:24px\">"
                               "<tr>");
    for (const QJsonValue& s : b.value(QStringLiteral("items")).toArray()) {
        const QJsonArray item = s.toArray();
        if (!r.shown(item.at(3).toString()))
            continue;
        h += QStringLiteral("<td align=\"center\" valign=\"bottom\">%1<br/>"
                            "<span style=\"font-size:8pt\">%2</span><br/>"
                            "<span style=\"border-top:1px solid black\"><b>%3</b>"
                            "</span></td>")
                 .arg(r.fill(item.at(1).toString()), r.fill(item.at(2).toString()),
                      esc(item.at(0).toString()));
    }
    return h + QStringLiteral("</tr></table>");
}

using Block = QString (*)(const Rendering&, const QJsonObject&);
const QHash<QString, Block>& blocks()
{
    static const QHash<QString, Block> byType{
        {QStringLiteral("title"), titleBlock},   {QStringLiteral("heading"), headingBlock},
        {QStringLiteral("text"), textBlock},     {QStringLiteral("fields"), fieldsBlock},
        {QStringLiteral("table"), tableBlock},   {QStringLiteral("signatures"), signaturesBlock}};
    return byType;
}
} // namespace

std::unique_ptr<Report> Report::open(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw LisError(ErrNo::FileNotFound,
                       QStringLiteral("The report file %1 cannot be opened: %2")
                           .arg(QDir::toNativeSeparators(path), f.errorString()));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
    if (!doc.isObject())
        fail(QStringLiteral("The report file %1 is not a report: %2")
                 .arg(QDir::toNativeSeparators(path), error.errorString()));
    return fromJson(doc.object(), path);
}

std::unique_ptr<Report> Report::fromJson(const QJsonObject& o, const QString& path)
{
    std::unique_ptr<Report> r(new Report);
    r->m_path = path;
    r->m_page = o.value(QStringLiteral("page")).toString(QStringLiteral("A4"));
    for (const QJsonValue& p : o.value(QStringLiteral("parameters")).toArray())
        r->m_parameters.append({p.toString(), {}});
    for (const QJsonValue& v : o.value(QStringLiteral("tables")).toArray()) {
        const QJsonObject t = v.toObject();
        ReportTable table;
        table.name = t.value(QStringLiteral("name")).toString();
        table.location = t.value(QStringLiteral("location")).toString();
        table.procedure = t.value(QStringLiteral("kind")).toString() != QLatin1String("table");
        for (const QJsonValue& a : t.value(QStringLiteral("arguments")).toArray())
            table.arguments.append(a.toString());
        table.filterColumn = t.value(QStringLiteral("filter")).toString();
        r->m_tables.append(table);
    }
    r->m_body = o.value(QStringLiteral("body")).toArray();
    r->m_pageHeader = o.value(QStringLiteral("pageHeader")).toString();
    r->m_laterCopy = o.value(QStringLiteral("laterCopy")).toString();
    const QJsonObject subs = o.value(QStringLiteral("subreports")).toObject();
    for (auto it = subs.begin(); it != subs.end(); ++it)
        r->m_subreports.emplace_back(it.key(), fromJson(it.value().toObject(), path));
    return r;
}

Report& Report::openSubreport(const QString& name)
{
    for (auto& [n, sub] : m_subreports)
        if (n.compare(name, Qt::CaseInsensitive) == 0)
            return *sub;
    throw LisError(ErrNo::SubscriptOutOfRange,
                   QStringLiteral("The report %1 has no subreport \"%2\".")
                       .arg(QFileInfo(m_path).fileName(), name));
}

QString Report::valueOf(const QString& parameter) const
{
    for (const ReportParameter& p : m_parameters)
        if (p.name.compare(parameter, Qt::CaseInsensitive) == 0)
            return p.currentValues.isEmpty() ? QString() : p.currentValues.first().toString();
    return QString();
}

QString Report::html(Connection* sharedDb, QString* pageHeader) const
{
    const ValueOf valueOf = [this](const QString& p) { return this->valueOf(p); };
    std::unique_ptr<Connection> own;
    const Data data = readTables(m_tables, sharedDb, own, valueOf);
    const Rendering rendering{data, valueOf, m_headerText};
    if (pageHeader) {
        QTextDocument plain;
        plain.setHtml(rendering.fill(m_pageHeader));
        *pageHeader = plain.toPlainText();
        plain.setHtml(rendering.fill(m_laterCopy));
        m_laterCopyText = plain.toPlainText();
    }

    QString h;
    for (const QJsonValue& v : m_body) {
        const QJsonObject b = v.toObject();
        const QString type = b.value(QStringLiteral("type")).toString();
        if (!rendering.shown(b.value(QStringLiteral("when")).toString()))
            continue;
        if (type == QLatin1String("subreport")) {
            for (const auto& [n, sub] : m_subreports)
                if (n == b.value(QStringLiteral("name")).toString()) {
                    Connection* db = own ? own.get() : sharedDb;
                    h += sub->html(db);
                }
        } else if (const Block block = blocks().value(type)) {
            h += block(rendering, b);
        }
    }
    return h;
}

std::unique_ptr<Report> Report::ofDocument(const QTextDocument& document, const QString& name)
{
    std::unique_ptr<Report> r(new Report);
    r->m_path = name;
    std::shared_ptr<QTextDocument> copy(document.clone());
    for (const QByteArray& p : document.dynamicPropertyNames())
        copy->setProperty(p.constData(), document.property(p.constData()));
    r->m_laidOut = std::move(copy);
    return r;
}

QString Report::besideEarlier(const QString& path, const QString& label)
{
    if (!QFileInfo::exists(path))
        return path;
    const QString suffix = QFileInfo(path).suffix();
    const QString stem = path.left(path.size() - suffix.size() - (suffix.isEmpty() ? 0 : 1));
    const QString name = label.trimmed().isEmpty() ? QStringLiteral("copy") : label.trimmed();
    const QString ending = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    for (int n = 1;; ++n) {
        // Joined, not arg()-ed: a folder named "100%1" stays as it is.
        const QString next = stem + QStringLiteral(" (") + name + QLatin1Char(' ') +
                             QString::number(n) + QLatin1Char(')') + ending;
        if (!QFileInfo::exists(next))
            return next;
    }
}

std::unique_ptr<QTextDocument> Report::render() const
{
    if (m_laidOut) {
        std::unique_ptr<QTextDocument> doc(m_laidOut->clone());
        for (const QByteArray& p : m_laidOut->dynamicPropertyNames())
            doc->setProperty(p.constData(), m_laidOut->property(p.constData()));
        return doc;
    }
    auto doc = std::make_unique<QTextDocument>();
    QFont f = doc->defaultFont();
    f.setPointSize(10);
    doc->setDefaultFont(f);
    QString pageHeader;
    const QString body = html(nullptr, &pageHeader);
    doc->setHtml(QStringLiteral("<html><body>") + body + QStringLiteral("</body></html>"));
    doc->setProperty("pageHeader", pageHeader);
    doc->setProperty("reportHtml", doc->toHtml());
    doc->setProperty("laterCopy", m_laterCopyText);
    doc->setMetaInformation(QTextDocument::DocumentTitle, QFileInfo(m_path).baseName());
    return doc;
}

QString Report::printOut(const QString& target, const QString& documentName) const
{
    auto doc = render();
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageSize(m_page.compare(QStringLiteral("Letter"), Qt::CaseInsensitive) == 0
                            ? QPageSize(QPageSize::Letter)
                            : QPageSize(QPageSize::A4));
    printer.setDocName(documentName);
    QString where = target.trimmed();
    if (where.isEmpty())
        fail(QStringLiteral("No printer is set up for laboratory reports: set the Laboratory "
                            "Printer setting to a printer, a folder or a .pdf file."));
    const bool pdf =
        where.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive) || QFileInfo(where).isDir();
    if (pdf) {
        if (QFileInfo(where).isDir()) {
            QString safe = documentName.trimmed();
            safe.replace(QRegularExpression(QStringLiteral("[^\\w.-]")), QStringLiteral("_"));
            where = QDir(where).filePath((safe.isEmpty() ? QStringLiteral("report") : safe) +
                                         QStringLiteral(".pdf"));
        }
        // A printed report is never replaced: a later print of it is kept
        // beside it, named for what it is ("L-1001 (amended 1).pdf").
        where = besideEarlier(where, doc->property("laterCopy").toString());
        // A report names a patient: a new PDF is the user's alone.
        if (!PrivateFiles::touchFile(where))
            fail(QStringLiteral("The report could not be printed to %1: the file cannot be "
                                "created there.")
                     .arg(where));
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(where);
    } else {
        const QPrinterInfo info = QPrinterInfo::printerInfo(where);
        if (info.isNull())
            fail(QStringLiteral("The printer \"%1\" is not available.").arg(where));
        printer.setPrinterName(where);
    }
    printDocument(*doc, &printer);
    if (printer.printerState() == QPrinter::Error || (pdf && QFileInfo(where).size() == 0))
        fail(QStringLiteral("The report could not be printed to %1.").arg(where));
    return where;
}
