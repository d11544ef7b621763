#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;

// Announces that an event view took the focus.
class FocusEvent : public QEvent
{
public:
    FocusEvent(QObject* sender, const QList<QVariant>& args = {});

    QObject* sender;
    QList<QVariant> args;
};
