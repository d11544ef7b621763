#include "views/events/EventOverviewWorker.h"

#include "views/events/BinCell.h"

#include <QDebug>

#include <cstdio>
#include <limits>
#include <new>

EventOverviewWorker::EventOverviewWorker(EventOverviewWidget* widget, EventWidget* eventView)
    : widget(widget)
    , eventView(eventView)
{
}

void EventOverviewWorker::prepare(const TList<BinCell*>& passCells, int passWidth, int passItemSize)
{
    cells = passCells;
    width = passWidth;
    itemSize = passItemSize;
    // From here until loadData returns the pass counts as running, also
    // before its thread has reached loadData.
    done.store(false);
}

void EventOverviewWorker::cancel()
{
    cancelled.store(true);
}

bool EventOverviewWorker::isCancelled() const
{
    return cancelled.load();
}

bool EventOverviewWorker::ranOutOfMemory() const
{
    return ranOut.load();
}

bool EventOverviewWorker::hasEnded() const
{
    return ended.load(std::memory_order_acquire);
}

void EventOverviewWorker::loadData()
{
    done.store(false);
    // The thread's start calls this with nothing around it to catch: a
    // failure ends here, and the strip learns of it from the flag.
    try {
        drawCells();
    } catch (const std::bad_alloc&) {
        ranOut.store(true);
        images.clear();
        canvas = QImage();
    }
    try {
        if (ranOut.load())
            qWarning().noquote() << "the overview pass ran out of memory";
        else if (isCancelled())
            qDebug().noquote() << "Canceled";
        else
            qDebug().noquote() << "Done";
    } catch (const std::bad_alloc&) {
    }
    done.store(true);
    try {
        emit finished();
    } catch (const std::bad_alloc&) {
        // Not even the news found the memory: the strip closes the pass at
        // its next request, which finds it done.
        std::fputs("Out of memory: the overview pass could not report its end\n", stderr);
    }
    ended.store(true, std::memory_order_release);
}

void EventOverviewWorker::drawCells()
{
    images.clear();
    canvas = QImage();
    images.items.reserve(std::size_t(cells.size()));
    for (BinCell* cell : cells) {
        if (isCancelled())
            break;
        images.append(cell ? cell->overviewImage(width, itemSize, &cancelled) : QImage());
    }
    // One image is the stack itself.
    if (!isCancelled() && images.size() > 1) {
        qint64 total = 0;
        for (const QImage& image : images)
            total += image.height();
        // At most 2 GB, as for every image of the strip.
        if (total > 0 && width > 0 && qint64(width) * 4 * total <= std::numeric_limits<int>::max()) {
            canvas = QImage(width, int(total), QImage::Format_ARGB32);
            if (!canvas.isNull())
                canvas.fill(Qt::white);
        }
    }
}
