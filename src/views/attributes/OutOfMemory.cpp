#include "views/attributes/OutOfMemory.h"

#include "app/MessageAsker.h"

#include <QDebug>
#include <QString>
#include <QWidget>

#include <cstdio>

void tellOutOfMemory(QWidget* parent, const QString& title, const QString& action, const QString& shows) noexcept
{
    tellOutOfMemory(parent, title, "The attribute panel", action, shows);
}

void tellOutOfMemory(QWidget* parent, const QString& title, const char* subject, const QString& action,
                     const QString& shows) noexcept
{
    try {
        const QString text = QString::fromLatin1(subject) + QStringLiteral(" ran out of memory while ") + action
                             + QStringLiteral(" and ") + shows;
        qWarning().noquote() << text;
        MessageAsker::notify(QMessageBox::Warning, title, text, parent ? parent->window() : nullptr);
    } catch (...) {
        std::fputs("Out of memory: a side panel could not tell so\n", stderr);
    }
}
