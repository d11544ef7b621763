#include "app/MessageAsker.h"

#include <QTimer>

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
    QMessageBox box(icon, title, text, buttons, parent);
    // No default button: Enter must not answer a question by accident.
    box.setDefaultButton(static_cast<QPushButton*>(nullptr));
    const int result = box.exec();
    return static_cast<QMessageBox::StandardButton>(result);
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
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    // Shown once the event loop runs, so that a box raised while the main
    // window is being built is not hidden behind it.
    QTimer::singleShot(0, box, [box]() {
        box->show();
        box->raise();
    });
}
