#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;
class Context;

// The contexts picked in the context tree; the contexts are shared, not owned.
class ContextEvent : public QEvent
{
public:
    ContextEvent(QObject* sender, const QList<Context*>& contexts, const QList<QVariant>& args = {});

    QObject* sender;
    QList<Context*> contexts;
    QList<QVariant> args;
};
