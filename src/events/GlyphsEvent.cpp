#include "events/GlyphsEvent.h"

#include "events/EventType.h"

GlyphsEvent::GlyphsEvent(QObject* sender, const TList<TList<BinItem*>>& sequences, const QList<QVariant>& args)
    : QEvent(toEventType(GLYPHSEVENT)), sender(sender), sequences(sequences), args(args)
{
}
