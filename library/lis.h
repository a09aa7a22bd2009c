/* The laboratory result entry component for hosts in any language.
 *
 * Mirrors the component's two creatable classes: the result entry object
 * (clsLISResultEntry) and the connection settings (ConnSettings). Plain C
 * types only; no C++ exception crosses this interface.
 *
 * Threads: every call from one thread, the one that called lis_init (and
 * runs the Qt application). A call from any other thread does nothing and
 * returns -1 at once with LIS_WRONG_THREAD and "call from the thread that
 * called lis_init"; a _free or lis_shutdown from there keeps the object
 * (freeing it there is what would crash) and sets the same error.
 * lis_last_error_number and lis_last_error may be called from any thread.
 *
 * Exit: a host may end without lis_shutdown (returning from main or calling
 * exit, with objects still alive): the application object lis_init made is
 * then left to the end of the process instead of being destroyed.
 *
 * Status: each call that can fail returns 0, or -1 after which
 * lis_last_error_number() and lis_last_error() say what failed. A call that
 * succeeds sets them to 0 and "", so they never describe an older call.
 * A NULL where an object or an out pointer is expected fails with 94
 * (Invalid use of Null). Strings
 * handed in are UTF-8 and only read during the call. Strings handed out
 * either belong to the library (lis_last_error: valid until the next call on
 * the thread) or to the caller (lis_connsettings_connstr: release with
 * lis_string_free). Every _free accepts NULL. */
#ifndef LIS_H
#define LIS_H

#include "platform/lis_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* lis_init flags. LIS_UNATTENDED: windows close as soon as they are shown
 * and messages are written to standard error and answered with their
 * default button, for scripted hosts and monitoring. */
#define LIS_UNATTENDED 1

/* lis_last_error_number() after an unattended lis_entry_show that opened no
 * window: lis_last_error() holds what the component said instead (an
 * unknown request, an exam without a result format). Other numbers are the
 * component's own errors, negative for database failures. */
#define LIS_NOT_SHOWN 1
/* A call from a thread other than the one that called lis_init. */
#define LIS_WRONG_THREAD 2
/* lis_entry_show before lis_init, or after lis_shutdown. */
#define LIS_NOT_READY 3
/* lis_init cannot prepare the windows: no display and not LIS_UNATTENDED,
 * or the host's own application object is not a QApplication. */
#define LIS_INIT_FAILED 4

typedef struct lis_entry lis_entry;
typedef struct lis_connsettings lis_connsettings;

/* Prepares the component: creates the Qt application object when the host
 * has none (the windows need it) and registers the result windows and the
 * laboratory drivers. Call it once before anything else; calling it again
 * only changes the flags.
 * A host with its own application object must have made a QApplication: a
 * QCoreApplication or QGuiApplication fails with LIS_INIT_FAILED saying so.
 * Without a display (neither DISPLAY nor WAYLAND_DISPLAY, nor another
 * platform chosen in QT_QPA_PLATFORM) LIS_UNATTENDED runs offscreen;
 * otherwise it fails with LIS_INIT_FAILED and the reason. */
LIS_EXPORT int lis_init(int flags);
/* Releases what lis_init created. Objects still alive must be freed first.
 * lis_entry_show then fails with LIS_NOT_READY until lis_init is called
 * again. */
LIS_EXPORT void lis_shutdown(void);

/* The error of the last failed call on this thread: the component's error
 * number (negative for database failures) and its description, or 0 and "". */
LIS_EXPORT int lis_last_error_number(void);
LIS_EXPORT const char* lis_last_error(void);

/* The result entry object. Creating it opens the laboratory database. */
LIS_EXPORT int lis_entry_new(lis_entry** out);
LIS_EXPORT void lis_entry_free(lis_entry* entry);
LIS_EXPORT int lis_entry_set_verify_mode(lis_entry* entry, int on);
LIS_EXPORT int lis_entry_set_edit_mode(lis_entry* entry, int on);
LIS_EXPORT int lis_entry_set_entry_mode(lis_entry* entry, short mode);
LIS_EXPORT int lis_entry_set_employee_code(lis_entry* entry, const char* code);
LIS_EXPORT int lis_entry_set_employee_name(lis_entry* entry, const char* name);
LIS_EXPORT int lis_entry_set_clerk(lis_entry* entry, int on);
LIS_EXPORT int lis_entry_set_supervisor_id(lis_entry* entry, const char* id);
/* Shows the result window for the request and returns when it is closed.
 * top (twips) and left (twips) may be NULL: top then is 0, left keeps the
 * window's designed left. Unattended, a request whose window did not open is
 * a failure, LIS_NOT_SHOWN. Before lis_init or after lis_shutdown it fails
 * with LIS_NOT_READY. */
LIS_EXPORT int lis_entry_show(lis_entry* entry, const char* request_num, const short* top,
                              const double* left);

/* The connection settings object. */
LIS_EXPORT int lis_connsettings_new(lis_connsettings** out);
LIS_EXPORT void lis_connsettings_free(lis_connsettings* settings);
/* ConnSettings.connStr: *out receives a new string (release it with
 * lis_string_free); reg_sql_db may be NULL. */
LIS_EXPORT int lis_connsettings_connstr(lis_connsettings* settings, int reg_type,
                                        const char* reg_sql_db, char** out);
LIS_EXPORT void lis_string_free(char* text);

#ifdef __cplusplus
}
#endif

#endif
