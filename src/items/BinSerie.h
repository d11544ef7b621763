#pragma once

#include "core/TList.h"

#include <QColor>
#include <QtGlobal>

class BinItem;

// One series of items of a plot (the bars of a histogram, the points of a
// line). Owns its items; the views hold series by pointer and never copy
// them, since a copy would delete the items a second time.
class BinSerie
{
public:
    explicit BinSerie(void* pointer);
    BinSerie(const BinSerie&) = delete;
    BinSerie& operator=(const BinSerie&) = delete;
    ~BinSerie();

    int size() const;
    // Deletes every item (null entries are skipped) and empties the list.
    void clear();

    // The meaning of flag, pointer, first and second belongs to the view
    // that fills the series.
    bool flag = false;
    TList<BinItem*> items;
    void* pointer;
    qint64 first = 0;
    double second = 0.0;
    QColor color;
};
