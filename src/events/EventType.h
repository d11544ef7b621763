#pragma once

#include <QEvent>
#include <QMetaType>

// Numbers of the custom events that carry selections, contexts, redraw
// requests and searches between the views. HOVEREVENT and QUERYEVENT are
// reserved numbers: no event of those types is ever sent.
enum EventType {
    HOVEREVENT = 1001,
    CONTEXTEVENT = 1002,
    PACKETSEVENT = 1003,
    GLYPHSEVENT = 1004,
    QUERYEVENT = 1005,
    ATTRIBUTEEVENT = 1006,
    SCROLLEVENT = 1007,
    RENDEREVENT = 1008,
    RESIZEEVENT = 1009,
    RELOADEVENT = 1010,
    FINDEVENT = 1011,
    FOCUSEVENT = 1012
};

Q_DECLARE_METATYPE(EventType)

inline QEvent::Type toEventType(EventType type)
{
    return static_cast<QEvent::Type>(type);
}
