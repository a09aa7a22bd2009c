#include "Walkthrough.h"
#include "component/clsLISResultEntry.h"
#include "component/modMain.h"
#include "component/reports/QcChart.h"
#include "host/KeyInput.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/PrivateFiles.h"
#include "platform/ScriptedPresenter.h"
#include "platform/SettingsStore.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "screens/ResultWindows.h"
#include "screens/dialogs/frmSampleSearch.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextDocument>

namespace {
class Session {
public:
    Session(const QString& folder, QTextStream& out)
        : m_folder(folder)
        , m_out(out)
    {
    }

    void shot(QWidget& w, const QString& name)
    {
        // The windows show patients' names: the pictures are the user's alone.
        const QString path = nextPicture(name);
        PrivateFiles::touchFile(path);
        w.grab().save(path);
        m_out << "  picture " << QFileInfo(path).fileName() << "\n";
    }

    // The Levey-Jennings chart of an instrument's item, as a picture among
    // the windows' (the pixels QcChart::write gives a .png). Like them it
    // replaces the one of an earlier run instead of going beside it.
    void chart(Connection& db, const QString& instrument, const QString& item, const QString& name)
    {
        QcChart c(instrument, item);
        c.read(db);
        const QString path = nextPicture(name);
        PrivateFiles::touchFile(path);
        QcChart::picture(*c.document()).save(path, "PNG");
        m_out << "  picture " << QFileInfo(path).fileName() << "\n";
    }

    void expect(bool ok, const QString& what)
    {
        m_out << (ok ? "  ok     " : "  FAILED ") << what << "\n";
        m_out.flush();
        if (!ok)
            ++m_failures;
    }

    static void activate(QWidget& w)
    {
        QApplication::setActiveWindow(&w);
        w.activateWindow();
        if (!KeyInput::waitFor([&] { return QGuiApplication::focusWindow() == w.windowHandle(); },
                               2000))
            qWarning("%s did not become active", qPrintable(w.objectName()));
    }

    // Staff work by keyboard: a key goes to whatever has the focus.
    static void key(int key, Qt::KeyboardModifiers mods = {})
    {
        QWidget* target = QApplication::focusWidget();
        if (!target)
            target = QApplication::activeWindow();
        if (!target) {
            qWarning("No window takes the key %d", key);
            return;
        }
        KeyInput::click(target, Qt::Key(key), mods);
        if (mods & Qt::AltModifier)
            KeyInput::wait(150); // a button's mnemonic clicks it a moment later
    }

    static void type(const QString& text) { KeyInput::type(QApplication::focusWidget(), text); }

    // The window as it shows on a 1366 x 768 screen, maximised.
    void maximisedShot(QWidget& w, const QString& name)
    {
        const QSize designed = w.size();
        w.resize(1366, 740);
        QApplication::processEvents();
        shot(w, name);
        w.resize(designed);
    }

    QString nextPicture(const QString& name)
    {
        return QDir(m_folder).filePath(
            QStringLiteral("%1-%2.png").arg(++m_shots, 2, 10, QLatin1Char('0')).arg(name));
    }

    int failures() const { return m_failures; }
    const QString& folder() const { return m_folder; }

private:
    QString m_folder;
    QTextStream& m_out;
    int m_shots = 0;
    int m_failures = 0;
};

// A window's control, found as staff find it: by its name. A window
// without it fails the step that reaches for it.
template <typename T> T& control(QWidget& window, const char* name)
{
    auto* found = window.findChild<T*>(QLatin1String(name));
    if (!found)
        throw LisError(ErrNo::NotSupported, QStringLiteral("%1 has no control named %2")
                                                .arg(window.objectName(), QLatin1String(name)));
    return *found;
}

const QString kMarker = QStringLiteral(".lis-walkthrough");

// The walkthrough works in a folder of its own: a new or empty one, or one
// an earlier walkthrough marked as its own. Anything else may hold somebody's
// laboratory, which a demo must never replace.
void prepareFolder(const QString& root)
{
    const QDir dir(root);
    const QString marker = dir.filePath(kMarker);
    const QFileInfo info(root);
    if (info.exists() && !info.isDir())
        throw LisError(ErrNo::FileAccess,
                       QStringLiteral("%1 is a file, not a folder: name a new or empty folder "
                                      "for the walkthrough.")
                           .arg(root));
    const bool ours = QFileInfo::exists(marker);
    if (info.exists() && !ours &&
        !dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        throw LisError(
            ErrNo::FileAccess,
            QStringLiteral("The folder %1 holds files the walkthrough did not make%2; it changes "
                           "nothing there. Name a new or empty folder for the walkthrough.")
                .arg(root, dir.exists(QStringLiteral("laboratory"))
                               ? QStringLiteral(", a laboratory among them")
                               : QString()));
    if (!PrivateFiles::makeFolder(root))
        throw LisError(ErrNo::FileAccess,
                       QStringLiteral("The folder %1 cannot be created.").arg(root));
    if (ours)
        return;
    QFile f(marker);
    if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        f.write("Made by lis-host walkthrough, which writes its pictures and reports here again "
                "on its next run.\n") < 0)
        throw LisError(
            ErrNo::FileAccess,
            QStringLiteral("The folder %1 cannot be written: %2").arg(root, f.errorString()));
}

QString scalar(Connection& db, const QString& text, const QString& column)
{
    auto rs = db.openRecordset(text, CursorOptions::clientDynamic());
    return rs->eof() ? QString() : rs->textOrEmpty(column);
}

// The first row of a command's rows whose column `key` holds `value`, its
// column `wanted`; empty when there is none.
QString lookUp(Connection& db, const QString& text, const QString& key, const QString& value,
               const QString& wanted)
{
    auto rs = db.openRecordset(text, CursorOptions::clientDynamic());
    for (; !rs->eof(); rs->moveNext())
        if (rs->textOrEmpty(key).trimmed() == value.trimmed())
            return rs->textOrEmpty(wanted);
    return QString();
}

// The line of a printed report that names `what`, as pdftotext lays it out;
// empty when there is none or the PDF cannot be read.
QString printedLine(const QString& pdf, const QString& what)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    if (!p.waitForFinished(30000))
        return QString();
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
    for (const QString& line : lines)
        if (line.contains(what))
            return line.simplified();
    return QString();
}
} // namespace

int Walkthrough::run(const QString& folder, QTextStream& out)
{
    const QString root = QDir(folder).absolutePath();
    prepareFolder(root);
    // Its own settings and laboratory, made for this run and gone with it:
    // the workstation's are not touched, and nothing of an earlier run is
    // ever removed.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/lis-walkthrough-XXXXXX"));
    if (!scratch.isValid())
        throw LisError(ErrNo::FileAccess,
                       QStringLiteral("No folder for the demo laboratory can be made in %1: %2")
                           .arg(QDir::tempPath(), scratch.errorString()));
    qputenv("LIS_CONFIG_DIR", scratch.filePath(QStringLiteral("config")).toLocal8Bit());
    const QString data = scratch.filePath(QStringLiteral("laboratory"));
    if (!PrivateFiles::makeFolder(data))
        throw LisError(ErrNo::FileAccess,
                       QStringLiteral("The folder %1 cannot be created.").arg(data));
    registerLabDrivers();
    const DemoLaboratory::Summary demo =
        DemoLaboratory::build(data, DemoLaboratory::dayAt(Clock::now()));
    const QString user = QStringLiteral("TARVIK Current User");
    SettingsStore::set(user, QStringLiteral("Connection"), QStringLiteral("Server"), data);
    SettingsStore::set(user, QStringLiteral("Laboratory"), QStringLiteral("Printer"), root);
    SettingsStore::set(QStringLiteral("TarvikInstrumentID"), QStringLiteral("Laboratory"),
                       QStringLiteral("LabMachineInterface"), demo.instrumentId);
    SettingsStore::set(QStringLiteral("TarvikInstrumentname"), QStringLiteral("Laboratory"),
                       QStringLiteral("LabMachineInterface"), demo.instrumentName);
    ResultWindows::install();

    Session s(root, out);
    ScriptedPresenter presenter;
    PresenterScope scope(presenter);
    clsLISResultEntry entry;
    entry.EmployeeCode(QStringLiteral("MT01"));
    entry.EmployeeName(QStringLiteral("Carlos Bautista"));

    Connection db;
    db.open(QStringLiteral("Initial Catalog=LABORATORY;Data Source=") + data);
    const QString cutOffResults = QStringLiteral("LABORATORY..Lab_GetResultWithCutOff  'L-1001'");
    const QString normalResults =
        QStringLiteral("LABORATORY..Lab_FormMaker_GetResult_ReagentValues  'L-1016'");

    out << "1. L-1001, cut-off: look the sample up, take it over, type, print, verify\n";
    QString typedExam;
    presenter.queueWindow([&](QWidget& window) {
        QWidget& w = window;
        auto& grid = control<FlexGrid>(w, "msfgRequest");
        Session::activate(w);
        s.shot(w, QStringLiteral("cut-off-opened"));
        s.expect(control<QLineEdit>(w, "txtSampleNum").text() == QLatin1String("101"),
                 QStringLiteral("the worklist's sample 101 is found on opening"));
        // The sample number's box has the focus: emptied, Enter lists the
        // day's samples; Enter picks the first.
        Session::key(Qt::Key_A, Qt::ControlModifier);
        Session::key(Qt::Key_Backspace);
        presenter.queueWindow([&](QWidget& d) {
            auto& dialog = static_cast<frmSampleSearch&>(d);
            Session::activate(dialog);
            s.shot(dialog, QStringLiteral("sample-search"));
            Session::key(Qt::Key_Return);
        });
        Session::key(Qt::Key_Return);
        s.expect(control<QLineEdit>(w, "txtPName").text() == QLatin1String("DELA CRUZ, JUAN S"),
                 QStringLiteral("Enter lists the samples; Enter picks sample 101 of DELA CRUZ"));
        Session::key(Qt::Key_R, Qt::AltModifier);
        s.expect(grid.TextMatrix(1, 3) == QLatin1String("0.42"),
                 QStringLiteral("Alt+R (Use Result) takes the instrument's values over"));
        Session::key(Qt::Key_F, Qt::AltModifier);
        Session::key(Qt::Key_Down);
        Session::key(Qt::Key_F2);
        Session::key(Qt::Key_Return);
        Session::key(Qt::Key_F6);
        s.expect(grid.TextMatrix(2, 3) == QLatin1String("POSITIVE") &&
                     grid.TextMatrix(3, 0) == QLatin1String("*"),
                 QStringLiteral("F2 types POSITIVE, F6 marks the next row re-checked"));
        typedExam = grid.TextMatrix(2, 2);
        s.shot(w, QStringLiteral("cut-off-typed"));
        s.maximisedShot(w, QStringLiteral("cut-off-maximised"));
        presenter.queueWindow([&](QWidget& v) {
            Session::activate(v);
            s.shot(v, QStringLiteral("preview"));
            Session::key(Qt::Key_P, Qt::AltModifier);
        });
        Session::key(Qt::Key_V, Qt::AltModifier);
        s.expect(!w.isVisible(), QStringLiteral("Verify/Save/ Print closes the result window"));
    });
    entry.Show_ResultEntry(QStringLiteral("L-1001"), qint16(0), QVariant(0));
    s.expect(!typedExam.isEmpty() &&
                 lookUp(db, cutOffResults, QStringLiteral("ExamName"), typedExam,
                        QStringLiteral("PatientValue")) == QLatin1String("POSITIVE"),
             QStringLiteral("the laboratory holds POSITIVE for %1, as typed with F2")
                 .arg(typedExam.trimmed()));

    out << "2. L-1013, normal values: take over and print\n";
    presenter.queueWindow([&](QWidget& window) {
        QWidget& w = window;
        auto& grid = control<FlexGrid>(w, "msfgRequest");
        auto& qcHold = control<QLabel>(w, "lblQcHold");
        Session::activate(w);
        // The glucose control run of 9:40 was rejected: sample 103 of 9:50 is held.
        s.expect(qcHold.isVisible() && qcHold.text().contains(QStringLiteral(
                                           "GLU: QC rejected 9:40 AM: 2-2s, level 2")),
                 QStringLiteral("the glucose row is marked as held by quality control (\"%1\")")
                     .arg(qcHold.text()));
        s.shot(w, QStringLiteral("normal-values-qc-held-row"));
        s.chart(db, QStringLiteral("AN-01"), QStringLiteral("GLU"),
                QStringLiteral("qc-chart-glucose"));
        Session::key(Qt::Key_R, Qt::AltModifier);
        s.expect(grid.TextMatrix(1, 3) == QLatin1String("5.5"),
                 QStringLiteral("glucose 5.5 mmol/L is taken over"));
        s.shot(w, QStringLiteral("normal-values"));
        s.maximisedShot(w, QStringLiteral("normal-values-maximised"));
        Session::key(Qt::Key_V, Qt::AltModifier);
        s.expect(w.isVisible() &&
                     presenter.messageTexts()
                         .join(QLatin1Char('\n'))
                         .contains(QStringLiteral(
                             "is held by quality control (QC rejected 9:40 AM: 2-2s, level 2)")),
                 QStringLiteral("verifying the glucose is refused: held by quality control"));
        s.shot(w, QStringLiteral("normal-values-qc-hold"));
        // Controls run again at their means; from the window (Ctrl+Q) the
        // technologist records the action and confirms the reviewed result.
        const QString rerun = DateText::general(QDateTime(Clock::today(), QTime(10, 30)));
        for (const QString& text :
             {QStringLiteral("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-1', '5.00', '%1', 'MT01'"),
              QStringLiteral("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-2', '15.00', '%1', 'MT01'")})
            db.execute(text.arg(rerun));
        presenter.queueWindow([&](QWidget& dialog) {
            control<QLineEdit>(dialog, "txtAction").setText(QStringLiteral("recalibrated"));
            control<QPushButton>(dialog, "cmdAction").click();
            control<QPushButton>(dialog, "cmdConfirm").click();
            control<QPushButton>(dialog, "cmdClose").click();
        });
        Session::key(Qt::Key_Q, Qt::ControlModifier);
        s.expect(!qcHold.isVisible(),
                 QStringLiteral("the action recorded and the review confirmed from the window, "
                                "the glucose row is no longer marked"));
        Session::key(Qt::Key_V, Qt::AltModifier);
        s.expect(!w.isVisible(), QStringLiteral("after an accepted run, the corrective action and "
                                                "the review, the saved window closes"));
    });
    entry.Show_ResultEntry(QStringLiteral("L-1013"), qint16(0), QVariant(0));

    out << "3. L-1017, an exam without a result format\n";
    entry.Show_ResultEntry(QStringLiteral("L-1017"));
    s.expect(presenter.messageTexts().contains(QStringLiteral("Exam not yet formatted.")),
             QStringLiteral("\"Exam not yet formatted.\" is said"));

    out << "4. Corrections: a saved value of each window changed, saved and printed again\n";
    entry.EditMode(true);
    QString cutOffExam;
    presenter.queueWindow([&](QWidget& window) {
        QWidget& w = window;
        auto& grid = control<FlexGrid>(w, "msfgRequest");
        Session::activate(w);
        cutOffExam = grid.TextMatrix(1, 2);
        Session::key(Qt::Key_F, Qt::AltModifier); // every exam has a value: the first
        Session::type(QStringLiteral("2.50"));
        Session::key(Qt::Key_Return);
        s.expect(grid.TextMatrix(1, 3) == QLatin1String("2.50") &&
                     grid.TextMatrix(1, 4) == QLatin1String("REACTIVE"),
                 QStringLiteral("2.50 typed over the saved 0.42 replaces it and is read "
                                "REACTIVE at once"));
        s.shot(w, QStringLiteral("cut-off-corrected"));
        // The result was verified: the correction asks why.
        presenter.queueWindow([&](QWidget& dialog) {
            control<QComboBox>(dialog, "cboReason")
                .setCurrentText(QStringLiteral("Transcription error"));
            s.shot(dialog, QStringLiteral("cut-off-amendment-reason"));
            control<QPushButton>(dialog, "cmdOK").click();
        });
        Session::key(Qt::Key_V, Qt::AltModifier);
        s.expect(!w.isVisible(), QStringLiteral("the correction is saved, printed and closed"));
    });
    entry.Show_ResultEntry(QStringLiteral("L-1001"), qint16(0), QVariant(0));
    const QString interpretation =
        lookUp(db, cutOffResults, QStringLiteral("ExamName"), cutOffExam, QStringLiteral("result"));
    // Long exam names wrap in the report: the value's line carries the rest.
    const QString cutOffLine = printedLine(
        QDir(root).filePath(QStringLiteral("L-1001 (amended 1).pdf")), QStringLiteral("2.50"));
    s.expect(lookUp(db, cutOffResults, QStringLiteral("ExamName"), cutOffExam,
                    QStringLiteral("PatientValue")) == QLatin1String("2.50") &&
                 !interpretation.isEmpty() && cutOffLine.contains(interpretation),
             QStringLiteral("%1 is held and reprinted as 2.50 %2 (\"%3\")")
                 .arg(cutOffExam.trimmed(), interpretation, cutOffLine));

    presenter.queueWindow([&](QWidget& window) {
        QWidget& w = window;
        auto& grid = control<FlexGrid>(w, "msfgRequest");
        Session::activate(w);
        int glucose = 0;
        for (int r = 1; r < grid.Rows() && !glucose; ++r)
            if (grid.TextMatrix(r, 3) == QLatin1String("5.5"))
                glucose = r;
        s.expect(glucose > 0, QStringLiteral("L-1016 opens with its saved glucose 5.5 mmol/L"));
        if (!glucose)
            return;
        // Alt+F lands on the first exam without a value (potassium, not yet
        // measured); the arrows go to glucose from there.
        Session::key(Qt::Key_F, Qt::AltModifier);
        for (int i = 0; i < grid.Rows() && grid.Row() != glucose; ++i)
            Session::key(grid.Row() > glucose ? Qt::Key_Up : Qt::Key_Down);
        Session::type(QStringLiteral("11.0"));
        Session::key(Qt::Key_Return);
        s.expect(grid.TextMatrix(glucose, 3) == QLatin1String("11.0") &&
                     grid.TextMatrix(glucose, 8).isEmpty(),
                 QStringLiteral("11.0 typed over 5.5 mmol/L clears the old 99 mg/dL"));
        s.expect(grid.TextMatrix(glucose, 15) == QLatin1String("H D"),
                 QStringLiteral("11.0 is flagged high and twice the previous 5.5 (\"%1\")")
                     .arg(grid.TextMatrix(glucose, 15)));
        s.shot(w, QStringLiteral("normal-values-corrected"));
        s.maximisedShot(w, QStringLiteral("normal-values-corrected-maximised"));
        // Verifying asks to leave potassium unresulted, then to acknowledge
        // the change from the previous result.
        presenter.queueAnswer(MsgAnswer::Yes);
        presenter.queueAnswer(MsgAnswer::Yes);
        Session::key(Qt::Key_V, Qt::AltModifier);
        s.expect(!w.isVisible(), QStringLiteral("the correction is saved, printed and closed"));
    });
    entry.Show_ResultEntry(QStringLiteral("L-1016"), qint16(0), QVariant(0));
    const QString conventional = lookUp(db, normalResults, QStringLiteral("sResult"),
                                        QStringLiteral("11.0"), QStringLiteral("CResult"));
    const QString glucoseLine =
        printedLine(QDir(root).filePath(QStringLiteral("L-1016.pdf")), QStringLiteral("11.0"));
    s.expect(
        conventional == QLatin1String("198") &&
            printedLine(QDir(root).filePath(QStringLiteral("L-1016.pdf")), QStringLiteral("198"))
                .contains(QStringLiteral("mg/dL")) &&
            glucoseLine.contains(QStringLiteral("mmol/L")),
        QStringLiteral("glucose is held as 11.0 mmol/L = %1 mg/dL and reprinted so")
            .arg(conventional));

    out << "\nWhat the laboratory database holds now:\n";
    for (const char* req : {"L-1001", "L-1013", "L-1016"}) {
        const QString r = QLatin1String(req);
        const auto results =
            db.openRecordset(QStringLiteral("LABORATORY..Lab_GetResultWithCutOff  '%1'").arg(r));
        const auto normal = db.openRecordset(
            QStringLiteral("LABORATORY..Lab_FormMaker_GetResult_ReagentValues  '%1'").arg(r));
        out << "  " << r << ": ";
        for (; !results->eof(); results->moveNext())
            out << results->text(QStringLiteral("ItemID")) << "="
                << results->text(QStringLiteral("PatientValue")) << " "
                << results->text(QStringLiteral("result")) << "; ";
        for (; !normal->eof(); normal->moveNext())
            out << normal->text(QStringLiteral("ExamCode")) << "="
                << normal->text(QStringLiteral("sResult")) << " "
                << normal->text(QStringLiteral("sUnit")) << " = "
                << normal->text(QStringLiteral("CResult")) << " "
                << normal->text(QStringLiteral("CUnit")) << "; ";
        out << "\n";
    }
    s.expect(scalar(db, QStringLiteral("select * from tbLabLogbook where RequestNum = 'L-1001'"),
                    QStringLiteral("EmployeeCode")) == QLatin1String("MT01"),
             QStringLiteral("L-1001 has its logbook entry"));
    s.expect(scalar(db, QStringLiteral("Lab_FormMaker_GetResult 'L-1001'"),
                    QStringLiteral("VerifiedBy")) == QLatin1String("MT01"),
             QStringLiteral("L-1001 is verified by MT01"));
    s.expect(scalar(db,
                    QStringLiteral("select * from tbLabInstrumentDLHemaResult where SampleNum = "
                                   "'101' and InstrumentItem = 'HBsAg'"),
                    QStringLiteral("PostedRequestNum")) == QLatin1String("L-1001"),
             QStringLiteral("the instrument's HBsAg row is posted to L-1001"));
    s.expect(QFile::exists(QDir(root).filePath(QStringLiteral("L-1001.pdf"))) &&
                 printedLine(QDir(root).filePath(QStringLiteral("L-1001 (amended 1).pdf")),
                             QStringLiteral("Transcription error"))
                     .contains(QStringLiteral("Transcription error")),
             QStringLiteral("L-1001.pdf is printed and kept; the correction is printed beside "
                            "it as an amended report with its reason"));
    for (const char* pdf : {"L-1013.pdf", "L-1016.pdf"})
        s.expect(QFile::exists(QDir(root).filePath(QLatin1String(pdf))),
                 QStringLiteral("%1 is printed").arg(QLatin1String(pdf)));
    out << "\nPictures and reports are in " << QDir::toNativeSeparators(root) << "\n";
    out << (s.failures() == 0
                ? "Every step did what staff expect.\n"
                : QStringLiteral("%1 step(s) did not do what staff expect.\n").arg(s.failures()));
    return s.failures() == 0 ? 0 : 1;
}
