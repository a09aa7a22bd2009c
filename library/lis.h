/* The laboratory result entry component for hosts in any language.
 *
 * Mirrors the component's two creatable classes: the result entry object
 * (clsLISResultEntry) and the connection settings (ConnSettings). Plain C
 * types only; no C++ exception crosses this interface.
 *
 * Threads: every call from one thread, the one that runs (or will run) the
 * Qt application; lis_init makes it when the host has none.
 *
 * Status: each call that can fail returns 0, or -1 after which
 * lis_last_error_number() and lis_last_error() say what failed. Strings
 * handed in are UTF-8 and only read during the call. Strings handed out
 * either belong to the library (lis_last_error: valid until the next call on
 * the thread) or to the caller (lis_connsettings_connstr: release with
 * lis_string_free). Every _free accepts NULL. */
#ifndef LIS_H
#define LIS_H

#include "lis_export.h"

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

typedef struct lis_entry lis_entry;
typedef struct lis_connsettings lis_connsettings;

/* Prepares the component: creates the Qt application object when the host
 * has none (the windows need it) and registers the result windows and the
 * laboratory drivers. Call it once before anything else; calling it again
 * only changes the flags. */
LIS_EXPORT int lis_init(int flags);
/* Releases what lis_init created. Objects still alive must be freed first. */
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
 * a failure, LIS_NOT_SHOWN. */
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
