#pragma once

#include <QDir>
#include <QWidget>

// Saves a picture of a window into LIS_SCREENSHOT_DIR when it is set, so a
// developer can look at what a test drove; tests never depend on it.
inline void screenshot(QWidget& window, const QString& name)
{
    const QString dir = qEnvironmentVariable("LIS_SCREENSHOT_DIR");
    if (!dir.isEmpty() && QDir().mkpath(dir))
        window.grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}
