#include "app/MessageAsker.h"

#include <QTimer>

#include <cstdio>
#include <memory>
#include <new>

namespace {

// A box that found no memory to be made in: its words go to the log
// (stderr), or, when not even they can be put together, a fixed line.
void unshown(const QString& title, const QString& text) noexcept
{
    try {
        qWarning("%s: %s", qUtf8Printable(title), qUtf8Printable(text));
    } catch (...) {
        std::fputs("Out of memory: a message box could not be shown\n", stderr);
    }
}

// The answer to a question that could not be asked: the one that leaves
// things as they are.
QMessageBox::StandardButton unasked(QMessageBox::StandardButtons buttons)
{
    for (const QMessageBox::StandardButton b : {QMessageBox::Cancel, QMessageBox::No, QMessageBox::Abort,
                                                QMessageBox::Close, QMessageBox::Ok}) {
        if (buttons.testFlag(b))
            return b;
    }
    return QMessageBox::NoButton;
}

} // namespace

MessageAsker::Handler& MessageAsker::handler()
{
    static Handler current;
    return current;
}

MessageAsker::Handler MessageAsker::setHandler(Handler h)
{
    Handler previous = handler();
    handler() = std::move(h);
    return previous;
}

QMessageBox::StandardButton MessageAsker::ask(QMessageBox::Icon icon, const QString& title,
                                              const QString& text,
                                              QMessageBox::StandardButtons buttons,
                                              QWidget* parent)
{
    if (handler()) {
        Request request;
        request.icon = icon;
        request.title = title;
        request.text = text;
        request.buttons = buttons;
        request.parent = parent;
        request.modal = true;
        return handler()(request);
    }
    try {
        QMessageBox box(icon, title, text, buttons, parent);
        // No default button: Enter must not answer a question by accident.
        box.setDefaultButton(static_cast<QPushButton*>(nullptr));
        const int result = box.exec();
        return static_cast<QMessageBox::StandardButton>(result);
    } catch (const std::bad_alloc&) {
        unshown(title, text);
        return unasked(buttons);
    }
}

void MessageAsker::tell(QMessageBox::Icon icon, const char* title, const char* text,
                        QWidget* parent) noexcept
{
    try {
        ask(icon, QString::fromLatin1(title), QString::fromLatin1(text), QMessageBox::Ok, parent);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: %s\n", title, text);
    }
}

void MessageAsker::notify(QMessageBox::Icon icon, const QString& title, const QString& text,
                          QWidget* parent)
{
    if (handler()) {
        Request request;
        request.icon = icon;
        request.title = title;
        request.text = text;
        request.buttons = QMessageBox::Ok;
        request.parent = parent;
        request.modal = false;
        handler()(request);
        return;
    }
    try {
        std::unique_ptr<QMessageBox> held(new QMessageBox(icon, title, text, QMessageBox::Ok, parent));
        QMessageBox* box = held.get();
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        // Shown once the event loop runs, so that a box raised while the main
        // window is being built is not hidden behind it.
        QTimer::singleShot(0, box, [box]() {
            box->show();
            box->raise();
        });
        held.release();
    } catch (const std::bad_alloc&) {
        unshown(title, text);
    }
}
