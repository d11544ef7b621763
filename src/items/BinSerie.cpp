#include "items/BinSerie.h"

#include "core/Constants.h"
#include "items/BinItem.h"

BinSerie::BinSerie(void* pointer)
    : pointer(pointer), color(EDGE_COLOR)
{
}

BinSerie::~BinSerie()
{
    clear();
    items.items.shrink_to_fit();
}

int BinSerie::size() const
{
    return items.size();
}

void BinSerie::clear()
{
    for (BinItem* item : items)
        delete item;
    items.clear();
}
