// A C++ host: opens a request in the result window, as a hospital system
// does. With --unattended the window closes once shown (scripted hosts,
// monitoring). Exit status 0 when the request opened, 1 with the error.
// The connection settings through the C++ class; the request through the
// C interface, which also says when an unattended request did not open.
#include <lis/ConnSettings.h>
#include <lis/LisError.h>
#include <lis/lis.h>

#include <QApplication>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const bool unattended = argc > 2 && std::strcmp(argv[2], "--unattended") == 0;
    lis_init(unattended ? LIS_UNATTENDED : 0); // the host's QApplication is kept
    try {
        auto settings = CreateObjectAs<ConnSettings>(QString::fromLatin1(ConnSettings::kProgId));
        std::printf("connection: %s\n", qPrintable(settings->connStr(4, QStringLiteral("LABORATORY"))));
        lis_entry* entry = nullptr;
        const bool shown = lis_entry_new(&entry) == 0 &&
                           lis_entry_set_employee_code(entry, "MT01") == 0 &&
                           lis_entry_show(entry, argc > 1 ? argv[1] : "L-1001", nullptr, nullptr) == 0;
        if (shown)
            std::printf("closed\n");
        else
            std::printf("error %d: %s\n", lis_last_error_number(), lis_last_error());
        lis_entry_free(entry);
        return shown ? 0 : 1;
    } catch (const LisError& e) {
        std::printf("error %d: %s\n", e.number(), qPrintable(e.description()));
        return 1;
    }
}
