#include "items/GroupItem.h"
#include "core/Saturate.h"

#include "core/THash.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Truncation into the int range (NaN gives 0).
int toInt(double v)
{
    return saturatedInt(v);
}

} // namespace

GroupItem::GroupItem(const TList<BinItem*>& list, bool byName, bool centred, QWidget* owner)
    : BinItem(nullptr, owner), items(list), byName(byName)
{
    const int count = items.size();
    // The box of the items through their own edges. The extremes start at
    // the infinities so that items at negative coordinates count too.
    const double inf = std::numeric_limits<double>::infinity();
    double minLeft = inf, maxRight = -inf, minTop = inf, maxBottom = -inf;
    double minX = inf, maxX = -inf;
    for (const BinItem* item : items) {
        minLeft = std::min(minLeft, item->left());
        maxRight = std::max(maxRight, item->right());
        minTop = std::min(minTop, item->top());
        maxBottom = std::max(maxBottom, item->bottom());
        minX = std::min(minX, item->x);
        maxX = std::max(maxX, item->x);
    }
    if (count > 0) {
        y = minTop;
        storedWidth = maxRight - minLeft;
        storedHeight = maxBottom - minTop;
        x = (maxX + minX) / 2;
    } else {
        x = y = storedWidth = storedHeight = 0.0;
    }
    fillColor = Qt::red;
    this->centred = centred;
    mode = GROUP;

    for (const BinItem* item : items)
        packets.append(item->packets);

    if (count == 0)
        return;

    if (!byName) {
        const double sw = std::max(storedWidth / count, 2.0);
        // Every item gets its segment unless the run is too narrow for 2-pixel
        // segments (then only the first width / 2 items do). Dividing the
        // width by width / count again may come out just below count, so the
        // count is taken as it is.
        const int n = storedWidth / count >= 2.0 ? count
                                                 : std::min(toInt(storedWidth / sw), count);
        int offset = 0;
        for (int i = 0; i < n; ++i) {
            BinItem segment(nullptr, nullptr);
            segment.storedWidth = sw;
            segment.x = offset;
            segment.storedHeight = storedHeight;
            segment.fillColor = items.at(i)->fillColor;
            segments.append(segment);
            offset = toInt(offset + items.at(i)->width());
        }
    } else {
        // Ordered maps so that names of equal count come in name order.
        THash<QString, int> counts(true);
        THash<QString, BinItem*> lastOf(true);
        for (BinItem* item : items) {
            counts[item->name] += 1;
            lastOf[item->name] = item;
        }
        int offset = 0;
        const TList<QString> names = counts.keysSortedByValue();
        for (const QString& name : names) {
            BinItem segment(nullptr, nullptr);
            segment.storedWidth = static_cast<double>(counts.value(name)) / count * storedWidth;
            segment.x = offset;
            segment.storedHeight = storedHeight;
            segment.fillColor = lastOf.value(name)->fillColor;
            segments.append(segment);
            offset = toInt(offset + segment.width());
        }
    }
}

void GroupItem::paint(QPainter* painter, QPen&, QBrush&)
{
    painter->save();
    painter->translate(centred ? x - 0.5 * storedWidth : x, y);
    for (const BinItem& segment : segments)
        painter->fillRect(QRectF(segment.x, segment.y, segment.width(), segment.height()),
                          segment.fillColor);
    painter->restore();
}
