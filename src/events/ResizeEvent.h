#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;

// Asks an event view to lay itself out again (a cell header was toggled).
class ResizeEvent : public QEvent
{
public:
    ResizeEvent(QObject* sender, const QList<QVariant>& args = {});

    QObject* sender;
    QList<QVariant> args;
};
