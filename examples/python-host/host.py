"""A Python host: opens a request in the result window through ctypes.

Usage: python3 host.py LIBRARY REQUESTNUM [--unattended]
LIBRARY is the installed liblisresultentry.so.0. Exit status 0 when the
request opened, 1 with the error number and text.
"""
import ctypes
import sys

UNATTENDED = 1


def main():
    lis = ctypes.CDLL(sys.argv[1])
    request = sys.argv[2] if len(sys.argv) > 2 else "L-1001"
    unattended = "--unattended" in sys.argv[3:]
    lis.lis_last_error.restype = ctypes.c_char_p
    lis.lis_entry_show.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                   ctypes.c_void_p, ctypes.c_void_p]
    lis.lis_entry_free.argtypes = [ctypes.c_void_p]
    lis.lis_connsettings_free.argtypes = [ctypes.c_void_p]
    lis.lis_string_free.argtypes = [ctypes.c_void_p]

    def error():
        return "error %d: %s" % (lis.lis_last_error_number(),
                                 lis.lis_last_error().decode())

    if lis.lis_init(UNATTENDED if unattended else 0) != 0:
        print(error())
        return 1
    settings = ctypes.c_void_p()
    connection = ctypes.c_void_p()
    entry = ctypes.c_void_p()
    status = 1
    try:
        if (lis.lis_connsettings_new(ctypes.byref(settings)) != 0
                or lis.lis_connsettings_connstr(settings, 4, b"LABORATORY",
                                                ctypes.byref(connection)) != 0
                or lis.lis_entry_new(ctypes.byref(entry)) != 0):
            print(error())
            return 1
        print("connection: %s" % ctypes.string_at(connection).decode())
        lis.lis_entry_set_employee_code(entry, b"MT01")
        if lis.lis_entry_show(entry, request.encode(), None, None) != 0:
            print(error())
            return 1
        print("closed")
        status = 0
    finally:
        lis.lis_string_free(connection)
        lis.lis_entry_free(entry)
        lis.lis_connsettings_free(settings)
        lis.lis_shutdown()
    return status


if __name__ == "__main__":
    sys.exit(main())
