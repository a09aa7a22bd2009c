#pragma once

#include <QString>
#include <Qt>
#include <functional>

class QWidget;

// Key presses delivered to the application as the window system delivers
// them, shortcuts and mnemonics first, for the scripted walkthrough. The
// shipped host has no use for a test library's event simulation.
namespace KeyInput {
void click(QWidget* target, Qt::Key key, Qt::KeyboardModifiers mods = {});
void type(QWidget* target, const QString& text);
// Runs the event loop until done() holds or ms have passed.
bool waitFor(const std::function<bool()>& done, int ms);
void wait(int ms);
} // namespace KeyInput
