#pragma once

#include "app/MessageAsker.h"

#include <QList>

// Answers every message box of the application while it lives and keeps
// what was asked; the previous handler is restored afterwards.
class MessageRecorder
{
public:
    explicit MessageRecorder(QMessageBox::StandardButton answer = QMessageBox::Ok)
        : answer(answer)
    {
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            requests.append(r);
            return this->answer;
        });
    }
    ~MessageRecorder() { MessageAsker::setHandler(previous); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QStringList titles() const
    {
        QStringList out;
        for (const auto& r : requests)
            out << r.title;
        return out;
    }

    QMessageBox::StandardButton answer;
    QList<MessageAsker::Request> requests;

private:
    MessageAsker::Handler previous;
};
