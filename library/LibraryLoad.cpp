// Loading the component's shared library makes it ready for any host: the
// result windows are installed, as lis-host does by hand when it is linked
// with the component directly.
#include "component/AutomationObject.h"
#include "screens/ResultWindows.h"

// What C++ hosts call that the C interface does not (CreateObject): this
// reference keeps it in the library, whose version script exports it.
[[gnu::used]] static auto* const g_createObject = &CreateObject;

namespace {
const bool g_windows = [] {
    ResultWindows::install();
    return true;
}();
} // namespace
