#pragma once

#include <QEvent>

class QObject;

// Announces that the attribute set has changed (a new glyph or selection
// attribute); it carries nothing but its sender.
class AttributeEvent : public QEvent
{
public:
    explicit AttributeEvent(QObject* sender);

    QObject* sender;
};
