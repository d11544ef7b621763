#pragma once

#include "core/TList.h"

#include <QImage>
#include <QObject>

#include <atomic>

class BinCell;
class EventOverviewWidget;
class EventWidget;

// Draws the cells of an event matrix small for the overview strip, on a
// thread of its own. One worker serves one pass: the strip creates it,
// hands it the cells and the sizes (prepare), moves it to a new thread
// and starts loadData there; the worker reports only through finished().
//
// The worker reads no widget: it works on the list of cells taken when the
// pass starts, at the width and item size it was given, and keeps the
// images itself until the strip takes them on the GUI thread. Between
// cells, and between stretches of a large cell, it checks the cancel flag;
// the matrix cancels a pass and waits for it before it deletes or replaces
// its cells, so no cell goes while the worker draws it.
//
// Nothing leaves loadData: a pass that runs out of memory drops what it
// drew, lets go of the cell it was drawing (the cells themselves are only
// read), and ends as any pass does; the strip reads ranOutOfMemory() when
// it closes the pass.
class EventOverviewWorker : public QObject
{
    Q_OBJECT

public:
    EventOverviewWorker(EventOverviewWidget* widget, EventWidget* eventView);

    // What the next pass draws; called on the GUI thread before the thread starts.
    void prepare(const TList<BinCell*>& cells, int width, int itemSize);
    // Ends the pass at the next cell or stretch; any thread.
    void cancel();
    bool isCancelled() const;
    // Whether the pass ran out of memory (its images are then dropped);
    // read after the thread's end.
    bool ranOutOfMemory() const;
    // Whether loadData has returned; true once the thread has ended. Read
    // after the thread's end, before the cells, images or the worker go.
    bool hasEnded() const;

    EventOverviewWidget* widget;   // not read by the pass
    EventWidget* eventView;        // not read by the pass
    // False from prepare until loadData returns.
    std::atomic<bool> done{true};
    // The cells of the pass, taken from the matrix when it starts.
    TList<BinCell*> cells;
    int width = 0;
    int itemSize = 10;
    // One image per cell, in the cells' order; complete only when the pass
    // was not cancelled.
    TList<QImage> images;
    // A white image as wide as the pass and as tall as all images together,
    // into which the strip stacks them on the GUI thread (made here, so that
    // the GUI thread does not wait for the fresh memory); null when there
    // is at most one image or too much for one image.
    QImage canvas;

public slots:
    void loadData();

signals:
    void finished();

private:
    // The drawing of loadData, which may throw.
    void drawCells();

    std::atomic<bool> cancelled{false};
    std::atomic<bool> ranOut{false};
    // Set as the last step of loadData, after finished() has gone out.
    std::atomic<bool> ended{false};
};
