// The C interface: each entry point runs the component's C++ call, catches
// everything, and keeps the failure for lis_last_error.
#include "lis.h"

#include "ConnSettings.h"
#include "ConsolePresenter.h"
#include "LisError.h"
#include "Presenter.h"
#include "clsLISResultEntry.h"

#include <QApplication>
#include <QByteArray>
#include <QTextStream>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

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
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QTextStream> err;
    std::unique_ptr<UnattendedPresenter> unattended;
};
Library& library()
{
    static Library l;
    return l;
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
    return failed(ErrNo::InvalidUseOfNull, QStringLiteral("Invalid use of Null: %1").arg(
                                               QLatin1String(what)));
}
} // namespace

extern "C" {

int lis_init(int flags)
{
    return run([flags] {
        Library& l = library();
        if (!QCoreApplication::instance())
            l.app = std::make_unique<QApplication>(l.argc, l.argv);
        if (flags & LIS_UNATTENDED) {
            if (!l.unattended) {
                l.err = std::make_unique<QTextStream>(stderr);
                l.unattended = std::make_unique<UnattendedPresenter>(*l.err);
            }
            Presenter::install(l.unattended.get());
        } else {
            Presenter::install(nullptr);
        }
    });
}

void lis_shutdown(void)
{
    Library& l = library();
    Presenter::install(nullptr);
    l.unattended.reset();
    l.err.reset();
    l.app.reset();
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
    if (!out)
        return missing("out");
    *out = nullptr;
    return run([out] { *out = new lis_entry; });
}

void lis_entry_free(lis_entry* entry)
{
    run([entry] { delete entry; });
}

#define LIS_ENTRY_SETTER(name, type, call)                                                        \
    int name(lis_entry* entry, type value)                                                        \
    {                                                                                              \
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

int lis_entry_show(lis_entry* entry, const char* request_num, const short* top,
                   const double* left)
{
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
            throw LisError(LIS_NOT_SHOWN,
                           watch->lastMessage.isEmpty()
                               ? QStringLiteral("The request %1 was not shown.").arg(text(request_num))
                               : watch->lastMessage);
    });
}

int lis_connsettings_new(lis_connsettings** out)
{
    if (!out)
        return missing("out");
    *out = nullptr;
    return run([out] { *out = new lis_connsettings; });
}

void lis_connsettings_free(lis_connsettings* settings)
{
    delete settings;
}

int lis_connsettings_connstr(lis_connsettings* settings, int reg_type, const char* reg_sql_db,
                             char** out)
{
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
