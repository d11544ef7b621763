#pragma once

#include <QString>

#include <functional>

class QWidget;

// The one road by which the application asks for file and directory names,
// so that a test can answer every file dialog without a person at the
// screen. Without a handler the dialogs are real and modal. Every function
// returns the chosen path, or an empty text when the dialog was cancelled
// or anything ran out of memory while it was up.
class FileAsker
{
public:
    enum Kind { OpenFile, SaveFile, Directory };

    struct Request
    {
        Kind kind = OpenFile;
        QString caption;
        QString directory;   // where the dialog starts
        QString filter;      // name filter (empty for directories)
        QWidget* parent = nullptr;
    };
    using Handler = std::function<QString(const Request&)>;

    static QString openFileName(QWidget* parent, const QString& caption, const QString& directory,
                                const QString& filter);
    static QString saveFileName(QWidget* parent, const QString& caption, const QString& directory,
                                const QString& filter);
    static QString existingDirectory(QWidget* parent, const QString& caption,
                                     const QString& directory);

    // Replaces the real dialogs (an empty handler restores them); returns the
    // previous handler so that a test can put it back.
    static Handler setHandler(Handler handler);

private:
    static QString ask(const Request& request);
    static QString answer(const Request& request);
    static Handler& handler();
};
