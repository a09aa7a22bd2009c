#pragma once

#include "component/model/FormType.h"

#include <QString>
#include <memory>

QString resultWindowName(ResultWindowKind kind);

// What the component entry needs of a result window. Setting Top is the
// first touch and runs the window's load step.
class ResultWindow {
public:
    virtual ~ResultWindow();
    virtual void setTop(int twips) = 0;
    virtual void setLeft(double twips) = 0;
    virtual void Fill_Results() = 0;
    // Returns when the user has closed the window.
    virtual void showModal() = 0;
};

// Creates the result windows; the windows library installs the real one,
// tests an observing one.
class ResultWindowFactory {
public:
    virtual ~ResultWindowFactory();
    virtual std::unique_ptr<ResultWindow> create(ResultWindowKind kind) = 0;

    // nullptr removes the installed factory.
    static void install(ResultWindowFactory* factory);
    // Error 429 when no factory is installed.
    static ResultWindowFactory& current();
};
