#include "app/FileAsker.h"

#include "core/HandlerGuard.h"

#include <QFileDialog>
#include <QStringList>

FileAsker::Handler& FileAsker::handler()
{
    static Handler current;
    return current;
}

FileAsker::Handler FileAsker::setHandler(Handler h)
{
    Handler previous = handler();
    handler() = std::move(h);
    return previous;
}

QString FileAsker::ask(const Request& request)
{
    // The dialog runs a loop of its own: whatever runs out of memory while
    // it is up may have been the dialog's, and its answer does not count
    // (the user has been told).
    const unsigned long failures = HandlerGuard::failures();
    QString chosen = answer(request);
    if (HandlerGuard::failures() != failures)
        return QString();
    return chosen;
}

QString FileAsker::answer(const Request& request)
{
    if (handler())
        return handler()(request);

    QFileDialog dialog(request.parent, request.caption, request.directory, request.filter);
    switch (request.kind) {
    case OpenFile:
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        break;
    case SaveFile:
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        break;
    case Directory:
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        break;
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

QString FileAsker::openFileName(QWidget* parent, const QString& caption, const QString& directory,
                                const QString& filter)
{
    return ask(Request{OpenFile, caption, directory, filter, parent});
}

QString FileAsker::saveFileName(QWidget* parent, const QString& caption, const QString& directory,
                                const QString& filter)
{
    return ask(Request{SaveFile, caption, directory, filter, parent});
}

QString FileAsker::existingDirectory(QWidget* parent, const QString& caption,
                                     const QString& directory)
{
    return ask(Request{Directory, caption, directory, QString(), parent});
}
