#pragma once

#include <QDateEdit>
#include <QFocusEvent>
#include <QTimeEdit>

#include <functional>
#include <optional>

// Date and time pickers for keyboard-first entry.
//
// Each picker is one Tab stop: Tab and Shift+Tab leave it whatever section
// the cursor is in, while Left/Right, the separators and Up/Down work inside
// it as usual. Reached by Tab, the whole text is selected, and typing then
// replaces the whole value: the typed text is read as a whole on Enter, Tab
// or leaving the picker, never section by section. Typing over a single
// section keeps the usual section editing.

// What both pickers share: the typed text and what becomes of it. Each
// picker shows its events here first.
class PickerTyping {
public:
    // Sets the picker to the value a typed text names; false when it names none.
    using Take = std::function<bool(const QString&)>;
    // What the picker does with an event seen here.
    enum Outcome { Pass, Handled, FocusNext, FocusPrevious };

    PickerTyping(QDateTimeEdit* picker, QLineEdit* edit, Take take);

    // While typing, the picker's own validation stands aside.
    bool active() const { return m_active; }
    Outcome before(QEvent* event);
    // Reached by the keyboard, the whole text is selected.
    void focusIn(Qt::FocusReason reason);

private:
    Outcome keyPress(const QKeyEvent* event);
    Outcome leave(bool back);
    // The keys that edit the typed text (mark: Shift held); none for others.
    std::optional<Outcome> editKey(int key, bool mark);
    bool take();
    void settle();
    void refuse();
    void restore();

    QDateTimeEdit* m_picker;
    QLineEdit* m_edit;
    Take m_take;
    bool m_active = false;
};

// What both pickers do with their events: typing first, then the edit's
// own handling.
template <typename Edit> class TypingPicker : public Edit {
protected:
    TypingPicker(QWidget* parent, PickerTyping::Take take)
        : Edit(parent)
        , m_typing(this, this->lineEdit(), std::move(take))
    {
    }

    bool event(QEvent* event) override
    {
        const PickerTyping::Outcome outcome = m_typing.before(event);
        if (outcome == PickerTyping::Pass)
            return Edit::event(event);
        if (outcome != PickerTyping::Handled)
            QWidget::focusNextPrevChild(outcome == PickerTyping::FocusNext);
        return true;
    }
    void focusInEvent(QFocusEvent* event) override
    {
        Edit::focusInEvent(event);
        m_typing.focusIn(event->reason());
    }
    QValidator::State validate(QString& text, int& pos) const override
    {
        return m_typing.active() ? QValidator::Intermediate : Edit::validate(text, pos);
    }
    void fixup(QString& text) const override
    {
        if (!m_typing.active())
            Edit::fixup(text);
    }

private:
    PickerTyping m_typing;
};

// "MM/dd/yyyy" on the C locale, with a calendar popup.
class DatePicker : public TypingPicker<QDateEdit> {
public:
    explicit DatePicker(QWidget* parent = nullptr);
};

// "hh:mm:ss AP" on the C locale.
class TimePicker : public TypingPicker<QTimeEdit> {
public:
    explicit TimePicker(QWidget* parent = nullptr);
};
