#include "views/events/EventOverviewWidget.h"

#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "events/EventType.h"
#include "events/RenderEvent.h"
#include "events/ScrollEvent.h"
#include "views/events/EventOverviewWorker.h"
#include "views/events/EventWidget.h"

#include <QDebug>
#include <QMutex>
#include <QPainter>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace {

// How long a request waits for a running pass.
constexpr int BUSY_WAIT = 300;
constexpr int RESIZE_INTERVAL = 300;

// Every strip alive, to find those over a matrix (GUI thread only).
QList<EventOverviewWidget*>& strips()
{
    static QList<EventOverviewWidget*> all;
    return all;
}

} // namespace

EventOverviewWidget::EventOverviewWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
    , eventView(eventView)
    , worker(new EventOverviewWorker(this, eventView))
    , overviewMutex(new QMutex)
    , resizeTimer(new QTimer(this))
{
    resizeTimer->setInterval(RESIZE_INTERVAL);
    connect(resizeTimer, &QTimer::timeout, this, &EventOverviewWidget::resizeTimeOut);
    strips().append(this);
}

EventOverviewWidget::~EventOverviewWidget()
{
    strips().removeAll(this);
    if (thread) {
        worker->cancel();
        thread->quit();
        thread->wait();
        worker->hasEnded();
        // The thread is a child: it goes with this widget.
        thread = nullptr;
        overviewMutex->unlock();
    }
    delete worker;
    delete overviewMutex;
    images.clear();
}

void EventOverviewWidget::cancelPassesOver(const EventWidget* view, bool leaving)
{
    // A copy: cancelling changes no strip list, but stays safe if it did.
    const QList<EventOverviewWidget*> all = strips();
    for (EventOverviewWidget* strip : all)
        if (view && strip->eventView == view)
            strip->cancelAndWait(leaving);
}

void EventOverviewWidget::cancelAllPasses()
{
    const QList<EventOverviewWidget*> all = strips();
    for (EventOverviewWidget* strip : all)
        strip->cancelAndWait();
}

bool EventOverviewWidget::isActive() const
{
    return active;
}

bool EventOverviewWidget::isRunning() const
{
    return thread != nullptr;
}

void EventOverviewWidget::setActive(bool on, bool reload)
{
    active = on;
    if (on && reload) {
        reloadData();
        updateVisibleImage();
    }
    setVisible(on);
}

void EventOverviewWidget::setItemSize(int size)
{
    itemSize = size;
    reloadData();
}

void EventOverviewWidget::showNothing() noexcept
{
    images.clear();
    stackedImage = QImage();
    visibleImage = QImage();
    stackCanvas = QImage();
    try {
        update();
    } catch (const std::bad_alloc&) {
        // The next repaint shows the white strip.
    }
}

void EventOverviewWidget::tellRanOut() noexcept
{
    try {
        qWarning().noquote() << "the overview strip ran out of memory and shows nothing";
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to draw the overview"),
                             QStringLiteral("The overview strip ran out of memory while drawing the event matrix "
                                            "and shows nothing. The next change of the matrix draws it again."),
                             window());
    } catch (const std::exception&) {
        std::fputs("Out of memory: the overview strip shows nothing\n", stderr);
    }
}

void EventOverviewWidget::reloadData()
{
    if (thread && worker->done.load()) {
        // The pass has ended but its finished() is still on its way: close
        // it now. When that starts the pass a request was waiting for,
        // this request is served by it too.
        deleteThread();
        if (thread)
            return;
    }
    // The mutex is released on this (the GUI) thread by deleteThread, which
    // cannot run while this waits: a running pass always costs the wait.
    if (!overviewMutex->tryLock(BUSY_WAIT)) {
        qDebug().noquote() << "overview in progress";
        pendingPass = true;
        return;
    }
    pendingPass = false;
    // A pass that cannot be started (no memory for it, no thread) leaves
    // the strip as if none had been asked for: no thread, the mutex free.
    struct Abandon
    {
        EventOverviewWidget* strip;
        bool started = false;
        ~Abandon()
        {
            if (started)
                return;
            delete strip->thread;
            strip->thread = nullptr;
            delete strip->worker;
            strip->worker = nullptr;
            strip->overviewMutex->unlock();
        }
    } abandon{this};
    // The strip shows the stacked image; the cells' images of the last
    // pass go now rather than live on beside the new ones.
    images.clear();
    thread = new QThread(this);
    delete worker;
    worker = nullptr;
    worker = new EventOverviewWorker(this, eventView);
    worker->prepare(eventView ? eventView->cells : TList<BinCell*>(), width(), itemSize);
    worker->moveToThread(thread);
    connect(worker, &EventOverviewWorker::finished, this, &EventOverviewWidget::deleteThread);
    connect(thread, &QThread::started, worker, &EventOverviewWorker::loadData);
    qDebug().noquote() << "thread start overview";
    thread->start(QThread::InheritPriority);
    abandon.started = thread->isRunning() || thread->isFinished();
    if (!abandon.started)
        qWarning().noquote() << "the overview strip could not start its thread";
}

void EventOverviewWidget::deleteThread()
{
    HandlerGuard::run([this] { closePass(false); });
}

void EventOverviewWidget::closePass(bool leaving)
{
    // A finished() of a pass that cancelAndWait has already closed may
    // still arrive; so may one while a newer pass runs.
    if (!thread || !worker || !worker->done.load())
        return;
    // The pass is over however the stacking of its images ends.
    struct Unlock
    {
        QMutex* mutex;
        ~Unlock() { mutex->unlock(); }
    };
    thread->quit();
    thread->wait();
    if (!worker->hasEnded() && !leaving)
        qDebug().noquote() << "overview thread ended before its pass";
    QThread* ended = thread;
    thread = nullptr;
    const bool cancelled = worker->isCancelled();
    // A pass that ran out of memory has no images to show; neither has one
    // whose stacking runs out of it here.
    bool whole = !worker->ranOutOfMemory();
    {
        const Unlock unlock{overviewMutex};
        if (!cancelled && whole) {
            try {
                images = std::move(worker->images);
                worker->images.clear();
                stackCanvas = worker->canvas;
                worker->canvas = QImage();
                stackImages();
                stackCanvas = QImage();
            } catch (const std::bad_alloc&) {
                whole = false;
            }
        }
        // Leaving, it goes at once, as it can once it has ended: handing
        // it to the event loop allocates. Without the memory for that, it
        // goes with the strip, its parent.
        if (leaving) {
            delete ended;
        } else {
            try {
                ended->deleteLater();
            } catch (const std::bad_alloc&) {
            }
        }
    }
    if (!cancelled && !whole) {
        showNothing();
        if (!leaving)
            tellRanOut();
        return;
    }
    if (pendingPass && !cancelled)
        reloadData();
}

void EventOverviewWidget::cancelAndWait(bool leaving)
{
    if (!thread)
        return;
    worker->cancel();
    thread->quit();
    thread->wait();
    // Cancelled: no image is stacked and no pass started.
    closePass(leaving);
    // The cells are about to change: draw them again afterwards. Leaving,
    // a request that finds no memory is dropped: the strip keeps its last
    // image until its next pass.
    try {
        requestPass();
    } catch (const std::bad_alloc&) {
        if (!leaving)
            throw;
    }
}

void EventOverviewWidget::requestPass()
{
    if (passRequested)
        return;
    QMetaObject::invokeMethod(this, &EventOverviewWidget::runRequestedPass, Qt::QueuedConnection);
    passRequested = true;
}

void EventOverviewWidget::runRequestedPass()
{
    if (!passRequested)
        return;
    passRequested = false;
    if (active)
        HandlerGuard::run([this] { reloadData(); });
}

void EventOverviewWidget::resizeTimeOut()
{
    resizeTimer->stop();
    HandlerGuard::run([this] { reloadData(); });
}

void EventOverviewWidget::stackImages()
{
    // The old stack goes first: two of them need not fit in memory at once.
    stackedImage = QImage();
    qint64 total = 0;
    for (const QImage& image : images)
        total += image.height();
    const int w = width();
    // An image holds at most 2 GB (the raster engine's limit).
    const bool tooLarge = qint64(std::max(w, 0)) * 4 * total > std::numeric_limits<int>::max();
    if (total <= 0 || w <= 0 || tooLarge) {
        // Nothing to show, or more than an image can hold: a white strip.
        if (tooLarge)
            qDebug().noquote() << "overview too tall for an image:" << total << "pixels";
        stackedImage = QImage();
    } else if (images.size() == 1 && images.first().width() == w
               && images.first().format() == QImage::Format_ARGB32) {
        // One cell: its image already is the stack (shared, not copied).
        stackedImage = images.first();
    } else {
        if (stackCanvas.size() == QSize(w, int(total)) && stackCanvas.format() == QImage::Format_ARGB32) {
            stackedImage = stackCanvas;   // white already
            stackCanvas = QImage();
        } else {
            stackedImage = QImage(w, int(total), QImage::Format_ARGB32);
            if (!stackedImage.isNull())
                stackedImage.fill(Qt::white);
        }
        if (!stackedImage.isNull()) {
            // The cells' images are opaque and, drawn at the strip's width,
            // fill their band: their lines are copied as they are. Others
            // (the strip changed its width meanwhile) are drawn on the white.
            QPainter painter;
            const std::size_t lineBytes = std::size_t(w) * 4;
            int y = 0;
            for (const QImage& image : images) {
                if (image.width() == w && image.format() == QImage::Format_ARGB32) {
                    for (int line = 0; line < image.height(); ++line)
                        std::memcpy(stackedImage.scanLine(y + line), image.constScanLine(line), lineBytes);
                } else if (!image.isNull()) {
                    if (!painter.isActive())
                        painter.begin(&stackedImage);
                    painter.drawImage(0, y, image);
                }
                y += image.height();
            }
        }
    }
    updateVisibleImage();
}

void EventOverviewWidget::updateVisibleImage()
{
    const qint64 top = qint64(offset) * itemSize;
    if (stackedImage.isNull() || width() <= 0 || height() <= 0 || top > std::numeric_limits<int>::max()
        || top < std::numeric_limits<int>::min())
        visibleImage = QImage();
    else
        visibleImage = stackedImage.copy(QRect(0, int(top), width(), height()));
    update();
}

bool EventOverviewWidget::event(QEvent* e)
{
    // Out of memory, a scroll shows the window it showed, and a request for
    // a pass is dropped: the strip keeps its picture until the next one.
    switch (int(e->type())) {
    case SCROLLEVENT: {
        auto* scroll = static_cast<ScrollEvent*>(e);
        HandlerGuard::run([this, scroll] {
            if (qobject_cast<EventWidget*>(scroll->sender)) {
                offset = scroll->offset;
                updateVisibleImage();
            }
        });
        e->accept();
        return true;
    }
    case RENDEREVENT: {
        auto* render = static_cast<RenderEvent*>(e);
        HandlerGuard::run([this, render] {
            if (qobject_cast<EventWidget*>(render->sender))
                requestPass();
        });
        e->accept();
        return true;
    }
    default:
        return QWidget::event(e);
    }
}

void EventOverviewWidget::resizeEvent(QResizeEvent* e)
{
    HandlerGuard::run([&] {
        QWidget::resizeEvent(e);
        resizeTimer->start();
        updateVisibleImage();
    });
}

void EventOverviewWidget::mouseMoveEvent(QMouseEvent* e)
{
    HandlerGuard::run([&] {
        QWidget::mouseMoveEvent(e);
        update();
    });
}

void EventOverviewWidget::paintEvent(QPaintEvent*)
{
    HandlerGuard::paint(this, [this] {
        QPainter painter(this);
        painter.fillRect(rect(), Qt::white);
        if (!visibleImage.isNull())
            painter.drawImage(0, 2, visibleImage);
    });
}

QSize EventOverviewWidget::sizeHint() const
{
    return QSize(300, 100);
}
