#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;

// The sender's scroll offset; args holds the side of the sender.
class ScrollEvent : public QEvent
{
public:
    ScrollEvent(QObject* sender, int offset, const QList<QVariant>& args = {});

    QObject* sender;
    int offset;
    QList<QVariant> args;
};
