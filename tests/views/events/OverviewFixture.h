#pragma once

// The group of an event matrix: the matrix in its ribbon (MatrixFixture),
// the overview ribbon with its strip and a line ribbon, stored in the event
// ribbon as the main window stores them; a gate that keeps an overview pass
// running; and ways to wait for the strip to be idle.

#include "MatrixFixture.h"
#include "Restore.h"

#include "app/AppGlobals.h"
#include "core/Constants.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventOverviewWorker.h"
#include "views/events/RibbonEventOverviewWidget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QScrollBar>
#include <QSemaphore>
#include <QTest>

#include <thread>

namespace overviewfixture {

using namespace matrixfixture;

using ::Restore;

// Traces of `events` kinds each, spread over the kinds a..e.
inline QList<Trace> traces(int count, int events = 6)
{
    QList<Trace> all;
    const QString kinds = QStringLiteral("abcde");
    for (int t = 0; t < count; ++t) {
        QString row;
        for (int e = 0; e < events; ++e)
            row += kinds.at((t + e * (t % 3 + 1)) % kinds.size());
        all.append({t, row, QString()});
    }
    return all;
}

class Group
{
public:
    explicit Group(const QList<Trace>& list, bool rules = false)
        : m(list, rules)
    {
        overviewRibbon = new RibbonEventOverviewWidget(m.control.get(), m.view, nullptr);
        lineRibbon = new RibbonLineWidget(m.control.get(), m.view, nullptr);
        strip = overviewRibbon->overview;
        strip->resize(200, 300);
        m.ribbon->overviewRibbon = overviewRibbon;
        m.ribbon->lineRibbon = lineRibbon;
    }

    ~Group()
    {
        // The strip may have moved into the event ribbon: it goes with it.
        delete lineRibbon;
        delete overviewRibbon;
    }

    // Lays out the event ribbon as the first load does.
    void build()
    {
        Restore<bool> noData(NO_DATA, true);
        m.ribbon->buildControls();
        m.view->setContext(m.context);
    }

    Matrix m;
    RibbonEventOverviewWidget* overviewRibbon;
    RibbonLineWidget* lineRibbon;
    EventOverviewWidget* strip;
};

// Waits until no pass runs and none is about to start.
inline bool settle(EventOverviewWidget* strip, int timeout = 10000)
{
    QElapsedTimer clock;
    clock.start();
    int quiet = 0;
    while (clock.elapsed() < timeout) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (strip->isRunning()) {
            quiet = 0;
            QTest::qWait(2);
            continue;
        }
        if (++quiet >= 3)
            return true;
        QTest::qWait(5);
    }
    return false;
}

// Holds a cell's rows lock on a thread of its own until released, or at
// most `hold` ms: a pass that reaches the cell waits there meanwhile.
class CellGate
{
public:
    CellGate(BinCell* cell, int hold)
        : holder([this, mutex = cell->rowsMutex, hold]() {
              mutex->lock();
              locked.release();
              open.tryAcquire(1, hold);
              mutex->unlock();
          })
    {
        locked.acquire();
    }
    ~CellGate() { release(); }
    CellGate(const CellGate&) = delete;
    CellGate& operator=(const CellGate&) = delete;

    void release()
    {
        if (holder.joinable()) {
            open.release();
            holder.join();
        }
    }

private:
    QSemaphore locked;
    QSemaphore open;
    std::thread holder;
};

} // namespace overviewfixture
