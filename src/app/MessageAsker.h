#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// The one road by which the application shows message boxes, so that a
// test can answer or observe every box without a person at the screen.
// Without a handler the boxes are real: ask() runs a modal box and returns
// the button pressed, notify() shows a box and returns at once. A real box
// that finds no memory to be made in becomes a warning on stderr, and
// ask() then answers as Cancel, No, Abort, Close or OK would (the first
// of its buttons in that order): nothing is thrown.
class MessageAsker
{
public:
    struct Request
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QWidget* parent = nullptr;
        bool modal = true;
    };
    using Handler = std::function<QMessageBox::StandardButton(const Request&)>;

    // Modal box; returns the button pressed (NoButton when closed otherwise).
    static QMessageBox::StandardButton ask(QMessageBox::Icon icon, const QString& title,
                                           const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QWidget* parent = nullptr);
    // Modal box with OK of texts made of literals; throws nothing: when no
    // memory is left to make the texts or the box (or a test's handler ran
    // out of it), "TITLE: TEXT" goes to stderr instead.
    static void tell(QMessageBox::Icon icon, const char* title, const char* text,
                     QWidget* parent = nullptr) noexcept;
    // Box that does not wait for its answer; it deletes itself when closed.
    static void notify(QMessageBox::Icon icon, const QString& title, const QString& text,
                       QWidget* parent = nullptr);

    // Replaces the real boxes (an empty handler restores them); returns the
    // previous handler so that a test can put it back.
    static Handler setHandler(Handler handler);

private:
    static Handler& handler();
};
