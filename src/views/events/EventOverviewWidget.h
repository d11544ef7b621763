#pragma once

#include "core/TList.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

class ControlWidget;
class EventOverviewWorker;
class EventWidget;
class QMutex;
class QThread;
class QTimer;

// The overview strip: every cell of an event matrix drawn small and stacked
// one below the other, showing the window of that stack that follows the
// matrix's scroll position.
//
// A pass (reloadData) draws the cells on a thread of its own through an
// EventOverviewWorker; `overviewMutex` is held from reloadData to
// deleteThread, both on the GUI thread, so one pass runs at a time. A
// request that meets a running pass waits up to 300 ms ("overview in
// progress") and then asks for one more pass, which deleteThread starts
// when the running one ends: the strip never stays stale. Render events
// that arrive during one GUI operation (a rebuild of the matrix sends
// several) are gathered into one request when the operation ends.
//
// The images of a pass are taken, stacked and shown on the GUI thread in
// deleteThread. A scroll only copies another window out of the stacked
// image. The matrix cancels a running pass and waits for it before it
// deletes or replaces its cells (cancelPassesOver); the strip does the same
// before it goes, and so does every change of the glyph store's attribute
// tables or of the events' values (cancelAllPasses).
class EventOverviewWidget : public QWidget
{
    Q_OBJECT

public:
    EventOverviewWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent);
    ~EventOverviewWidget() override;

    bool isActive() const;
    // With active and reload, starts a pass at once.
    void setActive(bool active, bool reload);
    // The pixel size of a glyph in the strip; starts a pass.
    void setItemSize(int size);
    // Stacks `images` into `stackedImage` and shows its window.
    void stackImages();
    // Copies the window at the scroll offset out of the stacked image.
    void updateVisibleImage();
    // Cancels a running pass and waits for its end; the pass's images are
    // dropped and a new pass follows once the current GUI operation is over.
    // `leaving`: called from a destructor, where nothing may throw.
    void cancelAndWait(bool leaving = false);
    // Whether a pass is running.
    bool isRunning() const;
    QSize sizeHint() const override;

    // Cancels and waits for the running pass of every strip that shows
    // `view`; the matrix calls it before it deletes or replaces its cells
    // and when it is destroyed.
    static void cancelPassesOver(const EventWidget* view, bool leaving = false);
    // Cancels and waits for the running pass of every strip. A pass reads
    // the glyph store's attribute tables (the time column) and the events'
    // values (the glyph size attribute): whatever changes either (an added
    // attribute, tables swapped for a while) calls this first, on the GUI
    // thread, and makes its change before the GUI's event loop runs again.
    static void cancelAllPasses();

    ControlWidget* owner;
    QImage stackedImage;
    QImage visibleImage;
    bool active = true;
    // Null once the matrix is gone: the strip then draws nothing.
    QPointer<EventWidget> eventView;
    EventOverviewWorker* worker;
    TList<QImage> images;
    QThread* thread = nullptr;
    int offset = 0;                 // the matrix's first visible line
    int itemSize = 10;
    QMutex* overviewMutex;          // held for the whole of a pass
    QTimer* resizeTimer;

public slots:
    void reloadData();
    void deleteThread();
    void resizeTimeOut();

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    // Starts a pass when the current GUI operation is over (once for any
    // number of requests meanwhile).
    void requestPass();
    // Ends the pass whose thread has finished (deleteThread's body).
    void closePass(bool leaving);
    void runRequestedPass();
    // After a pass or its stacking ran out of memory: the strip shows
    // nothing, and says so.
    void showNothing() noexcept;
    void tellRanOut() noexcept;

    // The worker's white canvas for the next stack, when it fits.
    QImage stackCanvas;
    // A request met a running pass: one more pass follows it.
    bool pendingPass = false;
    bool passRequested = false;
};
