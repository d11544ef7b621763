#include "views/attributes/OutOfMemory.h"

#include "app/MessageAsker.h"

#include <QDebug>
#include <QString>
#include <QWidget>

#include <cstdio>

void tellOutOfMemory(QWidget* parent, const QString& title, const QString& action, const QString& shows) noexcept
{
    try {
        qWarning().noquote() << "the attribute panel ran out of memory while" << action;
        MessageAsker::notify(QMessageBox::Warning, title,
                             QStringLiteral("The attribute panel ran out of memory while ") + action
                                 + QStringLiteral(" and ") + shows,
                             parent ? parent->window() : nullptr);
    } catch (...) {
        std::fputs("Out of memory: the attribute panel could not tell so\n", stderr);
    }
}
