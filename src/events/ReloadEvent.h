#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;

// Asks a view to rebuild (the rule set or its options changed).
class ReloadEvent : public QEvent
{
public:
    ReloadEvent(QObject* sender, const QList<QVariant>& args = {});

    QObject* sender;
    QList<QVariant> args;
};
