#pragma once

#include <QWidget>
#include <QtGlobal>

// A window's control found as a user finds it: by its object name. A name
// no control of that type carries stops the test at once, naming it, rather
// than failing later on a null pointer.
template <typename T = QWidget> T* control(const QObject& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("%s has no %s named %s", qPrintable(window.objectName()),
               T::staticMetaObject.className(), name);
    return found;
}
