#pragma once

#include <QString>

class QWidget;

enum class MsgIcon { None, Information, Exclamation, Question, Critical };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgAnswer { Ok, Cancel, Yes, No };

struct MessageRequest {
    QString text;
    QString title; // empty: the application's own title
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
    MsgAnswer defaultAnswer = MsgAnswer::Ok;
    // What to do next, shown under the text (the box's informative text), so
    // a message fixed word for word can still say how to go on.
    QString advice;
};

// Every message box and every modal show of a window goes through the
// installed presenter, so whole flows can run under a script in tests.
class Presenter {
public:
    virtual ~Presenter();
    virtual MsgAnswer message(const MessageRequest& request) = 0;
    // Returns when the window has been closed.
    virtual void showModal(QWidget& window) = 0;

    static Presenter& current();
    // nullptr puts the message-box presenter back.
    static void install(Presenter* presenter);
};

MsgAnswer msgBox(const QString& text, MsgIcon icon = MsgIcon::None, const QString& title = {},
                 MsgButtons buttons = MsgButtons::Ok, MsgAnswer defaultAnswer = MsgAnswer::Ok);
// The same with advice on what to do next.
MsgAnswer msgBox(const QString& text, const QString& advice, MsgIcon icon = MsgIcon::None,
                 const QString& title = {}, MsgButtons buttons = MsgButtons::Ok,
                 MsgAnswer defaultAnswer = MsgAnswer::Ok);

// The presenter for people: QMessageBox and a local event loop.
class DialogPresenter : public Presenter {
public:
    MsgAnswer message(const MessageRequest& request) override;
    void showModal(QWidget& window) override;
};

// Installs a presenter for the life of a scope.
class PresenterScope {
public:
    explicit PresenterScope(Presenter& presenter) { Presenter::install(&presenter); }
    ~PresenterScope() { Presenter::install(nullptr); }
    PresenterScope(const PresenterScope&) = delete;
    PresenterScope& operator=(const PresenterScope&) = delete;
};
