/* A C host: opens a request in the result window through the C interface.
 * Build: cc main.c $(pkg-config --cflags --libs lis-result-entry)
 * Usage: c-host REQUESTNUM [--unattended]; exit status 0 when the request
 * opened, 1 with the error number and text. */
#include <lis/lis.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    const char* request = argc > 1 ? argv[1] : "L-1001";
    const int unattended = argc > 2 && strcmp(argv[2], "--unattended") == 0;
    lis_connsettings* settings = NULL;
    lis_entry* entry = NULL;
    char* connection = NULL;
    int status = 1;

    if (lis_init(unattended ? LIS_UNATTENDED : 0) != 0 ||
        lis_connsettings_new(&settings) != 0 ||
        lis_connsettings_connstr(settings, 4, "LABORATORY", &connection) != 0 ||
        lis_entry_new(&entry) != 0 || lis_entry_set_employee_code(entry, "MT01") != 0) {
        printf("error %d: %s\n", lis_last_error_number(), lis_last_error());
        goto done;
    }
    printf("connection: %s\n", connection);
    if (lis_entry_show(entry, request, NULL, NULL) != 0) {
        printf("error %d: %s\n", lis_last_error_number(), lis_last_error());
        goto done;
    }
    printf("closed\n");
    status = 0;
done:
    lis_string_free(connection);
    lis_entry_free(entry);
    lis_connsettings_free(settings);
    lis_shutdown();
    return status;
}
