#include "Pickers.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>

#include <optional>

namespace {
// M/d/yyyy, with '/', '-' or '.' between the numbers, or the eight digits
// MMddyyyy as typed on a keypad. Two-digit years are refused: on a report
// date a wrong century is worse than a beep.
std::optional<QDate> readDate(QString text)
{
    static const QRegularExpression eightDigits(QStringLiteral(R"(^[0-9]{8}$)"));
    static const QRegularExpression form(
        QStringLiteral(R"(^([0-9]{1,2})([/.-])([0-9]{1,2})\2([0-9]{4})$)"));
    text = text.trimmed();
    if (eightDigits.match(text).hasMatch())
        text = text.left(2) + u'/' + text.mid(2, 2) + u'/' + text.mid(4);
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QDate day(m.captured(4).toInt(), m.captured(1).toInt(), m.captured(3).toInt());
    return day.isValid() ? std::optional(day) : std::nullopt;
}

// h:mm or h:mm:ss, on the 12-hour clock with AM/PM (any case, blank or not)
// or on the 24-hour clock without.
std::optional<QTime> readTime(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^([0-9]{1,2}):([0-9]{2})(?::([0-9]{2}))?\s*([ap]m)?$)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    int hour = m.captured(1).toInt();
    const QString half = m.captured(4).toUpper();
    if (!half.isEmpty()) {
        if (hour < 1 || hour > 12)
            return std::nullopt;
        hour = hour % 12 + (half == QLatin1String("PM") ? 12 : 0);
    }
    const QTime time(hour, m.captured(2).toInt(), m.captured(3).toInt());
    return time.isValid() ? std::optional(time) : std::nullopt;
}
} // namespace

PickerTyping::PickerTyping(QDateTimeEdit* picker, QLineEdit* edit, Take take)
    : m_picker(picker)
    , m_edit(edit)
    , m_take(std::move(take))
{
}

PickerTyping::Outcome PickerTyping::before(QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
        return keyPress(static_cast<const QKeyEvent*>(event));
    case QEvent::FocusOut:
    case QEvent::MouseButtonPress: // the calendar or step buttons
    case QEvent::Wheel:
        settle();
        return Pass;
    default:
        return Pass;
    }
}

PickerTyping::Outcome PickerTyping::keyPress(const QKeyEvent* event)
{
    const int key = event->key();
    const auto mods = event->modifiers();
    if (!(mods & (Qt::ControlModifier | Qt::AltModifier)) &&
        (key == Qt::Key_Tab || key == Qt::Key_Backtab))
        return leave(key == Qt::Key_Backtab || (mods & Qt::ShiftModifier));
    const bool printable = !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) &&
                           !event->text().isEmpty() && event->text().front().isPrint();
    if (!m_active) {
        // A key typed over the whole text starts a new value; over part of
        // it, the sections are edited as usual.
        if (!printable || m_edit->text().isEmpty() || m_edit->selectedText() != m_edit->text())
            return Pass;
        m_active = true;
    }
    if (const std::optional<Outcome> edited = editKey(key, mods & Qt::ShiftModifier))
        return *edited;
    if (printable) {
        m_edit->insert(event->text());
        return Handled;
    }
    // Any other key (Up, F4 for the calendar...) acts on the value typed so far.
    settle();
    return Pass;
}

// Tab and Shift+Tab leave the picker once what was typed names a value.
PickerTyping::Outcome PickerTyping::leave(bool back)
{
    if (m_active && !take()) {
        refuse();
        return Handled;
    }
    return back ? FocusPrevious : FocusNext;
}

std::optional<PickerTyping::Outcome> PickerTyping::editKey(int key, bool mark)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return Handled;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (take())
            return Pass; // the picker goes on as after any Enter
        refuse();
        return Handled;
    case Qt::Key_Escape:
        restore();
        m_edit->selectAll();
        return Handled;
    case Qt::Key_Backspace:
        m_edit->backspace();
        return Handled;
    case Qt::Key_Delete:
        m_edit->del();
        return Handled;
    case Qt::Key_Left:
        m_edit->cursorBackward(mark);
        return Handled;
    case Qt::Key_Right:
        m_edit->cursorForward(mark);
        return Handled;
    case Qt::Key_Home:
        m_edit->home(mark);
        return Handled;
    case Qt::Key_End:
        m_edit->end(mark);
        return Handled;
    default:
        return std::nullopt;
    }
}

void PickerTyping::focusIn(Qt::FocusReason reason)
{
    if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
        reason == Qt::ShortcutFocusReason)
        m_edit->selectAll();
}

// A typed text that names no date or time never silently becomes another
// value, nor silently disappears. On Enter or Tab the picker beeps and keeps
// the focus with the typed text selected: typing again replaces it, Escape
// brings back the value it had. When the typing is cut short anyway (a
// click on another control, another window, the calendar button), the
// picker beeps and shows the value it had, which the window goes on with.
void PickerTyping::settle()
{
    if (m_active && !take()) {
        QApplication::beep();
        restore();
    }
}

bool PickerTyping::take()
{
    const QString typed = m_edit->text();
    m_active = false; // so the picker shows the new value in its own format
    if (m_take(typed))
        return true;
    m_active = true;
    return false;
}

void PickerTyping::refuse()
{
    QApplication::beep();
    m_edit->selectAll();
}

void PickerTyping::restore()
{
    m_active = false;
    m_picker->setDateTime(m_picker->dateTime()); // writes the value's text again
}

DatePicker::DatePicker(QWidget* parent)
    : TypingPicker(parent, [this](const QString& text) {
        const std::optional<QDate> day = readDate(text);
        if (!day || *day < minimumDate() || *day > maximumDate())
            return false;
        setDate(*day);
        return true;
    })
{
    setLocale(QLocale::c());
    setDisplayFormat(QStringLiteral("MM/dd/yyyy"));
    setCalendarPopup(true);
}

TimePicker::TimePicker(QWidget* parent)
    : TypingPicker(parent, [this](const QString& text) {
        const std::optional<QTime> time = readTime(text);
        if (!time || *time < minimumTime() || *time > maximumTime())
            return false;
        setTime(*time);
        return true;
    })
{
    setLocale(QLocale::c());
    setDisplayFormat(QStringLiteral("hh:mm:ss AP"));
}
