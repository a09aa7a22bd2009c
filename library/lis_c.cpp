// The C interface: each entry point runs the component's C++ call, catches
// everything, and keeps the failure for lis_last_error.
#include "library/lis.h"

#include "component/ConnSettings.h"
#include "component/clsLISResultEntry.h"
#include "platform/ConsolePresenter.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"

#include <QApplication>
#include <QByteArray>
#include <QTextStream>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

struct lis_entry {
    clsLISResultEntry object;
};

struct lis_connsettings {
    ConnSettings object;
};

namespace {
thread_local int t_errorNumber = 0;
thread_local QByteArray t_errorText;

// Unattended: windows close once shown and messages go to standard error;
// what the component last said is kept, for a show that opened no window.
class UnattendedPresenter : public ConsolePresenter {
public:
    using ConsolePresenter::ConsolePresenter;
    MsgAnswer message(const MessageRequest& request) override
    {
        lastMessage = request.advice.isEmpty() ? request.text
                                               : request.text + QLatin1Char(' ') + request.advice;
        return ConsolePresenter::message(request);
    }
    void showModal(QWidget& window) override
    {
        ++windows;
        ConsolePresenter::showModal(window);
    }
    int windows = 0;
    QString lastMessage;
};

struct Library {
    std::unique_ptr<QApplication> app; // only when the host had none
    int argc = 1;
    char name[16] = "lis-component";
    char platformOption[16] = "-platform";
    char offscreen[16] = "offscreen";
    char* argv[4] = {name, nullptr, nullptr, nullptr};
    std::unique_ptr<QTextStream> err;
    std::unique_ptr<UnattendedPresenter> unattended;
    // Read by every thread to turn the wrong ones away.
    std::atomic<bool> ready = false;    // between a successful lis_init and lis_shutdown
    std::atomic<std::thread::id> owner; // the thread that called lis_init
    bool wasShut = false;               // lis_shutdown was called since
    bool exitHook = false;              // the release at exit is registered
};
Library& library()
{
    static Library l;
    return l;
}

void release()
{
    Library& l = library();
    Presenter::install(nullptr);
    l.unattended.reset();
    l.err.reset();
    l.app.reset();
    l.ready = false;
    l.owner = std::thread::id();
}

// A host that returns from main (or calls exit) without lis_shutdown: by
// now Qt's own global state made after lis_init (the database connections'
// registry among it) may be gone, and destroying the application object
// would use it. The object is left to the end of the process instead.
void releaseAtExit()
{
    Library& l = library();
    if (!l.app)
        return;
    if (l.owner == std::this_thread::get_id())
        Presenter::install(nullptr);
    (void)l.app.release();
    l.ready = false;
}

int failed(int number, const QString& text)
{
    t_errorNumber = number;
    t_errorText = text.toUtf8();
    return -1;
}

// Runs a call of the component: 0, or -1 with the error kept.
int run(const std::function<void()>& call)
{
    t_errorNumber = 0;
    t_errorText.clear();
    try {
        call();
        return 0;
    } catch (const LisError& e) {
        return failed(e.number(), e.description());
    } catch (const std::exception& e) {
        return failed(ErrNo::CannotCreateObject, QString::fromUtf8(e.what()));
    } catch (...) {
        return failed(ErrNo::CannotCreateObject, QStringLiteral("Unexpected failure."));
    }
}

QString text(const char* s)
{
    return s ? QString::fromUtf8(s) : QString();
}

int missing(const char* what)
{
    return failed(ErrNo::InvalidUseOfNull,
                  QStringLiteral("Invalid use of Null: %1").arg(QLatin1String(what)));
}

// Qt's objects belong to the thread that made the application object; a
// call from another would wait on it forever or corrupt it.
bool wrongThread()
{
    const Library& l = library();
    if (!l.ready || l.owner == std::this_thread::get_id())
        return false;
    failed(LIS_WRONG_THREAD, QStringLiteral("call from the thread that called lis_init"));
    return true;
}

// Why windows cannot be shown here, or empty. Without a display an
// unattended host gets the offscreen platform instead.
QString noDisplay(int flags, bool& offscreen)
{
    offscreen = false;
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM").trimmed().toLower();
    const QByteArray first = chosen.split(';').first().split(':').first();
    const bool x = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    bool missingDisplay = false;
    if (first.isEmpty())
        missingDisplay = !x && !wayland;
    else if (first.startsWith("xcb"))
        missingDisplay = !x;
    else if (first.startsWith("wayland"))
        missingDisplay = !wayland;
    if (!missingDisplay)
        return QString();
    if (flags & LIS_UNATTENDED) {
        offscreen = true;
        return QString();
    }
    return QStringLiteral("No display to show the result windows on (DISPLAY and "
                          "WAYLAND_DISPLAY are not set): run the host in a desktop session, or "
                          "call lis_init with LIS_UNATTENDED.");
}
} // namespace

extern "C" {

int lis_init(int flags)
{
    if (wrongThread())
        return -1;
    return run([flags] {
        Library& l = library();
        QCoreApplication* existing = QCoreApplication::instance();
        if (existing && !qobject_cast<QApplication*>(existing))
            throw LisError(LIS_INIT_FAILED,
                           QStringLiteral("The host's application object is a %1; the result "
                                          "windows need a QApplication. Create a QApplication "
                                          "instead, or none and let lis_init make it.")
                               .arg(QLatin1String(existing->metaObject()->className())));
        if (!existing) {
            bool offscreen = false;
            const QString reason = noDisplay(flags, offscreen);
            if (!reason.isEmpty())
                throw LisError(LIS_INIT_FAILED, reason);
            l.argc = 1;
            l.argv[1] = nullptr;
            if (offscreen) {
                l.argv[l.argc++] = l.platformOption;
                l.argv[l.argc++] = l.offscreen;
            }
            l.argv[l.argc] = nullptr;
            l.app = std::make_unique<QApplication>(l.argc, l.argv);
            if (!l.exitHook)
                l.exitHook = std::atexit(releaseAtExit) == 0;
        }
        if (flags & LIS_UNATTENDED) {
            if (!l.unattended) {
                l.err = std::make_unique<QTextStream>(stderr);
                l.unattended = std::make_unique<UnattendedPresenter>(*l.err);
            }
            Presenter::install(l.unattended.get());
        } else {
            Presenter::install(nullptr);
        }
        l.ready = true;
        l.wasShut = false;
        l.owner = std::this_thread::get_id();
    });
}

void lis_shutdown(void)
{
    if (wrongThread())
        return;
    Library& l = library();
    const bool wasReady = l.ready;
    release();
    l.wasShut = l.wasShut || wasReady;
}

int lis_last_error_number(void)
{
    return t_errorNumber;
}

const char* lis_last_error(void)
{
    return t_errorText.constData();
}

int lis_entry_new(lis_entry** out)
{
    if (wrongThread())
        return -1;
    if (!out)
        return missing("out");
    *out = nullptr;
    return run([out] { *out = new lis_entry; });
}

void lis_entry_free(lis_entry* entry)
{
    if (wrongThread())
        return; // kept: freeing it here is what would crash
    run([entry] { delete entry; });
}

#define LIS_ENTRY_SETTER(name, type, call)                                                         \
    int name(lis_entry* entry, type value)                                                         \
    {                                                                                              \
        if (wrongThread())                                                                         \
            return -1;                                                                             \
        if (!entry)                                                                                \
            return missing("entry");                                                               \
        return run([&] { entry->object.call; });                                                   \
    }

LIS_ENTRY_SETTER(lis_entry_set_verify_mode, int, VerifyMode(value != 0))
LIS_ENTRY_SETTER(lis_entry_set_edit_mode, int, EditMode(value != 0))
LIS_ENTRY_SETTER(lis_entry_set_entry_mode, short, EntryMode(value))
LIS_ENTRY_SETTER(lis_entry_set_employee_code, const char*, EmployeeCode(text(value)))
LIS_ENTRY_SETTER(lis_entry_set_employee_name, const char*, EmployeeName(text(value)))
LIS_ENTRY_SETTER(lis_entry_set_clerk, int, Clerk(value != 0))
LIS_ENTRY_SETTER(lis_entry_set_supervisor_id, const char*, SupervisorId(text(value)))

int lis_entry_show(lis_entry* entry, const char* request_num, const short* top, const double* left)
{
    if (wrongThread())
        return -1;
    const Library& lib = library();
    if (!lib.ready || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return failed(LIS_NOT_READY, lib.wasShut ? QStringLiteral("lis_shutdown was called: call "
                                                                  "lis_init again before showing "
                                                                  "a window.")
                                                 : QStringLiteral("Call lis_init before showing a "
                                                                  "window."));
    if (!entry)
        return missing("entry");
    return run([&] {
        std::optional<qint16> t;
        if (top)
            t = *top;
        std::optional<QVariant> l;
        if (left)
            l = QVariant(*left);
        UnattendedPresenter* watch = library().unattended.get();
        if (watch && &Presenter::current() != watch)
            watch = nullptr;
        if (watch) {
            watch->windows = 0;
            watch->lastMessage.clear();
        }
        entry->object.Show_ResultEntry(text(request_num), t, l);
        if (watch && watch->windows == 0)
            throw LisError(
                LIS_NOT_SHOWN,
                watch->lastMessage.isEmpty()
                    ? QStringLiteral("The request %1 was not shown.").arg(text(request_num))
                    : watch->lastMessage);
    });
}

int lis_connsettings_new(lis_connsettings** out)
{
    if (wrongThread())
        return -1;
    if (!out)
        return missing("out");
    *out = nullptr;
    return run([out] { *out = new lis_connsettings; });
}

void lis_connsettings_free(lis_connsettings* settings)
{
    if (wrongThread())
        return;
    run([settings] { delete settings; });
}

int lis_connsettings_connstr(lis_connsettings* settings, int reg_type, const char* reg_sql_db,
                             char** out)
{
    if (wrongThread())
        return -1;
    if (!settings)
        return missing("settings");
    if (!out)
        return missing("out");
    *out = nullptr;
    return run([&] {
        const QByteArray value = settings->object.connStr(reg_type, text(reg_sql_db)).toUtf8();
        char* copy = static_cast<char*>(std::malloc(size_t(value.size()) + 1));
        if (!copy)
            throw LisError(ErrNo::CannotCreateObject, QStringLiteral("Out of memory."));
        std::memcpy(copy, value.constData(), size_t(value.size()) + 1);
        *out = copy;
    });
}

void lis_string_free(char* text)
{
    std::free(text);
}

} // extern "C"
