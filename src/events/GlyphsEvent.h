#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

#include "core/TList.h"

class QObject;
class BinItem;

// One glyph sequence per selected trace; the glyphs stay with the sender.
class GlyphsEvent : public QEvent
{
public:
    GlyphsEvent(QObject* sender, const TList<TList<BinItem*>>& sequences, const QList<QVariant>& args = {});

    QObject* sender;
    TList<TList<BinItem*>> sequences;
    QList<QVariant> args;
};
