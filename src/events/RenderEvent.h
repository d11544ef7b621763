#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;

// Asks a view to draw again; args names the target kind and the side
// (["OverviewWidget", side], ["LineWidget", side]) or a chart's own values.
class RenderEvent : public QEvent
{
public:
    RenderEvent(QObject* sender, const QList<QVariant>& args = {});

    QObject* sender;
    QList<QVariant> args;
};
