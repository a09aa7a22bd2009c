/* The C interface where hosts went wrong with it, run without a display:
 * each check prints "FAILED ..." and the program exits 1 if one fails.
 * It ends without lis_shutdown, which must not crash it. */
#include <lis/lis.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures = 0;

static void expect(int ok, const char* what)
{
    if (!ok) {
        printf("FAILED %s (last error %d: %s)\n", what, lis_last_error_number(), lis_last_error());
        ++failures;
    }
}

static int failedWith(int status, int number)
{
    return status == -1 && lis_last_error_number() == number && lis_last_error()[0] != '\0';
}

static int cleared(int status)
{
    return status == 0 && lis_last_error_number() == 0 && strcmp(lis_last_error(), "") == 0;
}

struct call {
    lis_entry* entry;
    int status;
    int number;
    char text[200];
};

static void* showFromOtherThread(void* arg)
{
    struct call* c = arg;
    c->status = lis_entry_show(c->entry, "L-1001", NULL, NULL);
    c->number = lis_last_error_number();
    snprintf(c->text, sizeof c->text, "%s", lis_last_error());
    return NULL;
}

int main(void)
{
    lis_entry* entry = NULL;
    lis_connsettings* settings = NULL;
    char* text = NULL;
    const short top = 0;
    alarm(120); /* a hang is a failure too */

    /* Before lis_init a window cannot be shown. */
    expect(failedWith(lis_entry_show(NULL, "L-1001", NULL, NULL), LIS_NOT_READY),
           "show before lis_init is LIS_NOT_READY");
    /* No display: refused with the reason unless unattended, which runs
     * offscreen. */
    expect(failedWith(lis_init(0), LIS_INIT_FAILED) && strstr(lis_last_error(), "display"),
           "lis_init without a display and not unattended");
    expect(cleared(lis_init(LIS_UNATTENDED)), "lis_init unattended without a display");

    /* NULLs are refused with 94; the next call that succeeds clears it. */
    expect(failedWith(lis_entry_new(NULL), 94), "lis_entry_new(NULL)");
    expect(cleared(lis_entry_new(&entry)) && entry, "lis_entry_new after a failure");
    expect(failedWith(lis_entry_show(NULL, "L-1001", &top, NULL), 94), "show on NULL");
    expect(failedWith(lis_entry_set_employee_code(NULL, "MT01"), 94), "setter on NULL");
    expect(cleared(lis_entry_set_employee_code(entry, NULL)), "a NULL text is empty");
    expect(failedWith(lis_connsettings_new(NULL), 94), "lis_connsettings_new(NULL)");
    expect(cleared(lis_connsettings_new(&settings)), "lis_connsettings_new after a failure");
    expect(failedWith(lis_connsettings_connstr(NULL, 4, NULL, &text), 94), "connstr on NULL");
    expect(failedWith(lis_connsettings_connstr(settings, 4, NULL, NULL), 94), "connstr into NULL");
    expect(cleared(lis_connsettings_connstr(settings, 4, NULL, &text)) && text,
           "connstr after a failure clears the error");
    lis_string_free(text);
    lis_connsettings_free(NULL);
    lis_entry_free(NULL);

    /* Another thread is turned away at once, and the object stays usable. */
    struct call c = {entry, 0, 0, ""};
    pthread_t thread;
    if (pthread_create(&thread, NULL, showFromOtherThread, &c) == 0) {
        pthread_join(thread, NULL);
        expect(c.status == -1 && c.number == LIS_WRONG_THREAD &&
                   strcmp(c.text, "call from the thread that called lis_init") == 0,
               "show from a second thread");
    }
    expect(failedWith(lis_entry_show(entry, "L-9999", NULL, NULL), LIS_NOT_SHOWN),
           "an unknown request is not shown");
    expect(cleared(lis_entry_show(entry, "L-1001", NULL, NULL)),
           "a shown request clears the error of the one before");
    lis_entry_free(entry);
    lis_connsettings_free(settings);

    /* After lis_shutdown a window cannot be shown until lis_init again. */
    lis_shutdown();
    expect(failedWith(lis_entry_show(NULL, "L-1001", NULL, NULL), LIS_NOT_READY),
           "show after lis_shutdown is LIS_NOT_READY");
    expect(cleared(lis_init(LIS_UNATTENDED)) && cleared(lis_entry_new(&entry)),
           "lis_init again");

    printf(failures ? "%d FAILED\n" : "all passed\n", failures);
    return failures ? 1 : 0; /* entry alive, no lis_shutdown: the exit must be clean */
}
