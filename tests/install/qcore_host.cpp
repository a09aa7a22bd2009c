// A host that made its own QCoreApplication: lis_init must say a
// QApplication is needed instead of aborting the process.
#include <lis/lis.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int status = lis_init(LIS_UNATTENDED);
    std::printf("%d %d %s\n", status, lis_last_error_number(), lis_last_error());
    return status == -1 && lis_last_error_number() == LIS_INIT_FAILED &&
                   std::strstr(lis_last_error(), "QApplication")
               ? 0
               : 1;
}
