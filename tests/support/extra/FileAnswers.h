#pragma once

#include "app/FileAsker.h"

#include <QList>
#include <QStringList>

// Answers the application's file dialogs while it lives: each dialog takes
// the next answer of the queue (an empty text, as a cancelled dialog, when
// the queue is empty) and is recorded. The previous handler comes back after.
class FileAnswers
{
public:
    explicit FileAnswers(const QStringList& answers = QStringList())
        : answers(answers)
    {
        previous = FileAsker::setHandler([this](const FileAsker::Request& r) {
            requests.append(r);
            return this->answers.isEmpty() ? QString() : this->answers.takeFirst();
        });
    }
    ~FileAnswers() { FileAsker::setHandler(previous); }
    FileAnswers(const FileAnswers&) = delete;
    FileAnswers& operator=(const FileAnswers&) = delete;

    QStringList answers;
    QList<FileAsker::Request> requests;

private:
    FileAsker::Handler previous;
};
