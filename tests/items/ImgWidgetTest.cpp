#include "TestRegistry.h"
#include "Timing.h"

#include "app/ControlWidget.h"
#include "items/ImgWidget.h"

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QMutex>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// A view that fills its image with one colour and its overlay with a mark,
// following the render protocol, and counts what it did.
class TestView : public ImgWidget
{
public:
    explicit TestView(ControlWidget* owner = nullptr, QWidget* parent = nullptr)
        : ImgWidget(owner, parent)
    {
    }

    bool render(bool overlayToo, bool update, QImage* target) override
    {
        ++renderCalls;
        QImage* img = target ? target : &image;
        RenderGuard guard(this, img, overlayToo, update);
        if (!guard)
            return false;
        img->fill(background);
        QPainter painter(img);
        painter.fillRect(QRect(0, 0, 10, 10), fill);
        painter.end();
        guard.release();
        ++rendered;
        if (overlayToo)
            renderOverlay();
        if (update)
            this->update();
        return true;
    }

    bool renderOverlay() override
    {
        RenderGuard guard(this);
        if (!guard)
            return false;
        overlay.fill(Qt::transparent);
        QPainter painter(&overlay);
        painter.fillRect(QRect(5, 5, 2, 2), Qt::blue);
        painter.end();
        ++overlays;
        return true;
    }

    QSize sizeHint() const override { return QSize(120, 80); }

    QColor fill = Qt::red;
    int renderCalls = 0;
    int rendered = 0;
    int overlays = 0;
};

// Holds a mutex on another thread until told to let go.
class Holder
{
public:
    explicit Holder(QMutex* mutex)
        : thread([this, mutex] {
              mutex->lock();
              locked = true;
              while (!done)
                  std::this_thread::yield();
              mutex->unlock();
          })
    {
        while (!locked)
            std::this_thread::yield();
    }
    ~Holder() { release(); }
    void release()
    {
        done = true;
        if (thread.joinable())
            thread.join();
    }

private:
    std::atomic<bool> locked{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

void sendMouse(QWidget* w, QEvent::Type type, const QPointF& pos)
{
    QMouseEvent e(type, pos, w->mapToGlobal(pos.toPoint()), Qt::LeftButton,
                  type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

} // namespace

class ImgWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void construction();
    void setSize_data();
    void setSize();
    void sameSizeClearsTheImages_data();
    void sameSizeClearsTheImages();
    void resizeWidgetResizesImages();
    void resizeEventClearsImages();
    void mouseRounding_data();
    void mouseRounding();
    void leaveForgetsMouse();
    void hoverTimerRestarts();
    void glyphStoreFromOwner();
    void renderDrawsAndOverlay();
    void busyMutexSkipsFrame();
    void skippedFrameIsRetried();
    void imageBeingPaintedSkipsFrame();
    void repaintOnlyBlits();
};

void ImgWidgetTest::construction()
{
    QWidget parent;
    TestView view(nullptr, &parent);
    QCOMPARE(view.parentWidget, &parent);
    QVERIFY(view.hasMouseTracking());
    QCOMPARE(view.background, QColor(Qt::white));
    QCOMPARE(view.image.size(), view.size());
    QCOMPARE(view.image.format(), QImage::Format_ARGB32);
    QCOMPARE(view.overlay.format(), QImage::Format_ARGB32);
    QCOMPARE(view.image.pixel(0, 0), qRgba(255, 255, 255, 255));
    QCOMPARE(view.overlay.pixel(0, 0), qRgba(0, 0, 0, 0));
    QCOMPARE(view.pressX, -1.0);
    QCOMPARE(view.mouseY, -1.0);
    QVERIFY(view.mutex != nullptr);
    QVERIFY(view.imageMutex != nullptr);
    QCOMPARE(view.timer->parent(), &view);
    QCOMPARE(view.hoverTimer->parent(), &view);
    QVERIFY(view.glyphStore == nullptr);
    QCOMPARE(view.dataRect(), QRectF(0, 0, view.width(), view.height()));
}

void ImgWidgetTest::setSize_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("keep both") << -1 << -1 << QSize(300, 200);
    QTest::newRow("zero width") << 0 << 5 << QSize(1, 5);
    QTest::newRow("negative height") << 40 << -7 << QSize(40, 1);
    QTest::newRow("keep height") << 50 << -1 << QSize(50, 200);
    QTest::newRow("new size") << 640 << 480 << QSize(640, 480);
}

void ImgWidgetTest::setSize()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(QSize, expected);

    TestView view;
    view.resize(300, 200);
    view.image.fill(Qt::black);
    view.overlay.fill(Qt::black);
    view.setSize(w, h);
    QCOMPARE(view.image.size(), expected);
    QCOMPARE(view.overlay.size(), expected);
    QCOMPARE(view.image.format(), QImage::Format_ARGB32);
    QCOMPARE(view.image.pixel(0, 0), qRgba(255, 255, 255, 255));
    QCOMPARE(view.overlay.pixel(0, 0), qRgba(0, 0, 0, 0));
    // The widget itself keeps its size.
    QCOMPARE(view.size(), QSize(300, 200));
}

void ImgWidgetTest::sameSizeClearsTheImages_data()
{
    QTest::addColumn<bool>("painting");   // a painter open on the content image
    QTest::addColumn<bool>("shared");     // a copy of the content image kept

    QTest::newRow("the images at hand") << false << false;
    QTest::newRow("an image being painted") << true << false;
    QTest::newRow("an image whose copy is kept") << false << true;
}

// A size the images have already clears them in place: a painter open on
// the content image goes on painting it, a copy of it keeps its pixels.
void ImgWidgetTest::sameSizeClearsTheImages()
{
    QFETCH(bool, painting);
    QFETCH(bool, shared);

    TestView view;
    view.setSize(120, 80);
    view.background = Qt::yellow;
    view.image.fill(Qt::black);
    view.overlay.fill(Qt::black);
    const QImage copy = shared ? view.image : QImage();
    std::unique_ptr<QPainter> painter(painting ? new QPainter(&view.image) : nullptr);
    view.setSize(120, 80);
    QCOMPARE(view.image.size(), QSize(120, 80));
    QCOMPARE(view.overlay.size(), QSize(120, 80));
    QCOMPARE(QColor(view.image.pixel(30, 30)), QColor(Qt::yellow));
    QCOMPARE(view.overlay.pixel(30, 30), qRgba(0, 0, 0, 0));
    if (painter) {
        painter->fillRect(QRect(0, 0, 10, 10), Qt::red);
        painter.reset();
        QCOMPARE(QColor(view.image.pixel(3, 3)), QColor(Qt::red));
    }
    if (shared)
        QCOMPARE(QColor(copy.pixel(30, 30)), QColor(Qt::black));
}

void ImgWidgetTest::resizeWidgetResizesImages()
{
    TestView view;
    view.resizeWidget(130, 70);
    QCOMPARE(view.size(), QSize(130, 70));
    QCOMPARE(view.image.size(), QSize(130, 70));
}

void ImgWidgetTest::resizeEventClearsImages()
{
    TestView view;
    view.background = Qt::yellow;
    view.render(true, false, nullptr);
    QCOMPARE(QColor(view.image.pixel(0, 0)), QColor(Qt::red));
    QResizeEvent e(QSize(90, 60), view.size());
    QCoreApplication::sendEvent(&view, &e);
    QCOMPARE(view.image.size(), QSize(90, 60));
    QCOMPARE(view.overlay.size(), QSize(90, 60));
    QCOMPARE(QColor(view.image.pixel(0, 0)), QColor(Qt::yellow));
    QCOMPARE(view.overlay.pixel(5, 5), qRgba(0, 0, 0, 0));
}

void ImgWidgetTest::mouseRounding_data()
{
    QTest::addColumn<QPointF>("pos");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");

    QTest::newRow("halves away from zero") << QPointF(10.5, 3.4) << 11.0 << 3.0;
    QTest::newRow("below half") << QPointF(2.49, 7.6) << 2.0 << 8.0;
    QTest::newRow("negative half") << QPointF(-2.5, -0.4) << -3.0 << -0.0;
    QTest::newRow("whole") << QPointF(4, 9) << 4.0 << 9.0;
}

void ImgWidgetTest::mouseRounding()
{
    QFETCH(QPointF, pos);
    QFETCH(double, x);
    QFETCH(double, y);

    TestView view;
    view.resize(50, 50);
    sendMouse(&view, QEvent::MouseMove, pos);
    QCOMPARE(view.mouseX, x);
    QCOMPARE(view.mouseY, y);
    QCOMPARE(view.pressX, -1.0);
    sendMouse(&view, QEvent::MouseButtonPress, pos);
    QCOMPARE(view.pressX, x);
    QCOMPARE(view.pressY, y);
}

void ImgWidgetTest::leaveForgetsMouse()
{
    TestView view;
    sendMouse(&view, QEvent::MouseMove, QPointF(10, 12));
    sendMouse(&view, QEvent::MouseButtonPress, QPointF(10, 12));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&view, &leave);
    QCOMPARE(view.mouseX, -1.0);
    QCOMPARE(view.mouseY, -1.0);
    // The press is remembered.
    QCOMPARE(view.pressX, 10.0);
}

void ImgWidgetTest::hoverTimerRestarts()
{
    TestView view;
    QVERIFY(!view.hoverTimer->isActive());
    sendMouse(&view, QEvent::MouseMove, QPointF(3, 3));
    QVERIFY(view.hoverTimer->isActive());
    QCOMPARE(view.hoverTimer->interval(), 300);
    QSignalSpy fired(view.hoverTimer, &QTimer::timeout);
    QTest::qWait(150);
    sendMouse(&view, QEvent::MouseMove, QPointF(4, 3));
    QTest::qWait(200);
    // 350 ms after the first move but 200 ms after the second: not yet.
    QCOMPARE(fired.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(fired.count(), 1, 2000);
}

void ImgWidgetTest::glyphStoreFromOwner()
{
    ControlWidget control(nullptr);
    GlyphStore* const original = control.glyphStore;
    auto* first = reinterpret_cast<GlyphStore*>(0x1000);
    auto* second = reinterpret_cast<GlyphStore*>(0x2000);
    control.glyphStore = first;
    {
        TestView view(&control);
        QCOMPARE(view.owner, &control);
        QCOMPARE(view.glyphStore, first);
        control.glyphStore = second;
        QCOMPARE(view.glyphStore, first);
        view.reset();
        QCOMPARE(view.glyphStore, second);
    }
    control.glyphStore = original;
}

void ImgWidgetTest::renderDrawsAndOverlay()
{
    TestView view;
    view.resize(40, 40);
    QVERIFY(view.render(true, false, nullptr));
    QCOMPARE(QColor(view.image.pixel(1, 1)), QColor(Qt::red));
    QCOMPARE(QColor(view.image.pixel(20, 20)), QColor(Qt::white));
    QCOMPARE(view.overlays, 1);
    QCOMPARE(QColor(view.overlay.pixel(5, 5)), QColor(Qt::blue));

    QImage target(20, 20, QImage::Format_ARGB32);
    view.fill = Qt::green;
    QVERIFY(view.render(false, false, &target));
    QCOMPARE(QColor(target.pixel(1, 1)), QColor(Qt::green));
    QCOMPARE(QColor(view.image.pixel(1, 1)), QColor(Qt::red));

    view.clearImages();
    QCOMPARE(QColor(view.image.pixel(1, 1)), QColor(Qt::white));
    QCOMPARE(view.overlay.pixel(5, 5), qRgba(0, 0, 0, 0));
}

void ImgWidgetTest::busyMutexSkipsFrame()
{
    TestView view;
    view.resize(40, 40);
    Holder holder(view.imageMutex);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!view.render(true, true, nullptr));
    // tryLock waits 1 ms; the margin is for loaded machines.
    LUMIVANE_VERIFY_TIME(clock.elapsed(), 250);
    QCOMPARE(view.rendered, 0);
    QCOMPARE(QColor(view.image.pixel(1, 1)), QColor(Qt::white));
    view.renderOverlay();
    QCOMPARE(view.overlays, 0);
    holder.release();
    // Released on every path: the mutex is free again.
    QVERIFY(view.imageMutex->tryLock());
    view.imageMutex->unlock();
}

void ImgWidgetTest::skippedFrameIsRetried()
{
    TestView view;
    view.resize(40, 40);
    {
        Holder holder(view.imageMutex);
        QVERIFY(!view.render(true, false, nullptr));
        QVERIFY(!view.render(false, false, nullptr));
        QCOMPARE(view.rendered, 0);
    }
    // Without any further event the pending retry draws the view once,
    // with the overlay that either skipped call asked for.
    QTRY_COMPARE_WITH_TIMEOUT(view.rendered, 1, 2000);
    QCOMPARE(QColor(view.image.pixel(1, 1)), QColor(Qt::red));
    QCOMPARE(view.overlays, 1);
    QTest::qWait(50);
    QCOMPARE(view.rendered, 1);

    // A skipped overlay alone is retried as an overlay.
    {
        Holder holder(view.imageMutex);
        view.renderOverlay();
    }
    QTRY_COMPARE_WITH_TIMEOUT(view.overlays, 2, 2000);
    QCOMPARE(view.rendered, 1);

    // A skipped render into a foreign image is not repeated later.
    QImage target(10, 10, QImage::Format_ARGB32);
    {
        Holder holder(view.imageMutex);
        QVERIFY(!view.render(false, false, &target));
    }
    QTest::qWait(60);
    QCOMPARE(view.rendered, 1);
}

void ImgWidgetTest::imageBeingPaintedSkipsFrame()
{
    TestView view;
    view.resize(40, 40);
    {
        QPainter busy(&view.image);
        QVERIFY(!view.render(false, false, nullptr));
    }
    // The skip released the mutex.
    QVERIFY(view.imageMutex->tryLock());
    view.imageMutex->unlock();
    QTRY_COMPARE_WITH_TIMEOUT(view.rendered, 1, 2000);
}

void ImgWidgetTest::repaintOnlyBlits()
{
    TestView view;
    view.resize(40, 40);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.render(true, false, nullptr);
    const int calls = view.renderCalls;
    view.repaint();
    const QImage shown = view.grab().toImage();
    QCOMPARE(view.renderCalls, calls);
    // Content, then the overlay on top.
    QCOMPARE(QColor(shown.pixel(1, 1)), QColor(Qt::red));
    QCOMPARE(QColor(shown.pixel(5, 5)), QColor(Qt::blue));
    QCOMPARE(QColor(shown.pixel(30, 30)), QColor(Qt::white));
}

LUMIVANE_TEST(ImgWidgetTest)
#include "ImgWidgetTest.moc"
