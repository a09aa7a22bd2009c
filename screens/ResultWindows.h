#pragma once

// Makes the component open the real result windows.
namespace ResultWindows {
void install();
}
