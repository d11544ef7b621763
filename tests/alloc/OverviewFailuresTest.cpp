#include "FailingNew.h"
#include "OverviewFixture.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/MessageAsker.h"
#include "events/RenderEvent.h"

#include <QMutex>
#include <QSlider>
#include <QThread>
#include <QtTest>

// A pass of the overview strip, started as the user starts one (a change
// of the matrix, a move of the size slider), with every allocation of the
// pass failing in turn, on whichever thread makes it. The pass's thread
// ends its own failure: nothing escapes and the program goes on, no lock
// is left held, the matrix's glyphs keep their places, and the strip shows
// either its picture or nothing with one message that names memory. The
// next pass draws what a pass that never failed draws.

using namespace overviewfixture;

namespace {

const QString OWN_TITLE = QStringLiteral("Failed to draw the overview");

struct Place
{
    double x, y, w, h;
    bool operator==(const Place& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

QList<Place> places(const EventWidget* view)
{
    QList<Place> all;
    for (const BinCell* cell : view->cells)
        for (const TList<BinItem*>& row : cell->rows)
            for (const BinItem* item : row)
                all.append({item->x, item->y, item->width(), item->height()});
    return all;
}

// The user's step: a change of the matrix asks for a pass (its event made
// before the failures are armed), or the slider's timer hands over a new
// size.
struct Step
{
    Step(Group& g, const QString& action, int size)
        : g(g), action(action), size(size), render(g.m.view, {QStringLiteral("OverviewWidget"), 0})
    {
    }
    void run()
    {
        if (action == QLatin1String("render")) {
            QCoreApplication::sendEvent(g.strip, &render);
        } else {
            const QSignalBlocker quiet(g.overviewRibbon->sizeSlider);
            g.overviewRibbon->sizeSlider->setValue(size);
            QMetaObject::invokeMethod(g.overviewRibbon->sizeTimer, "timeout");
        }
    }
    Group& g;
    QString action;
    int size;
    RenderEvent render;
};

void start(Group& g, const QString& action, int size)
{
    Step(g, action, size).run();
}

// Until the pass asked for has ended and what it queued has run.
void finish(EventOverviewWidget* strip)
{
    QCoreApplication::processEvents();
    for (int k = 0; strip->isRunning() && k < 20000; ++k) {
        QThread::usleep(200);
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
}

bool locksFree(Group& g)
{
    if (!g.strip->overviewMutex->tryLock())
        return false;
    g.strip->overviewMutex->unlock();
    for (BinCell* cell : g.m.view->cells) {
        if (!cell->rowsMutex->tryLock())
            return false;
        cell->rowsMutex->unlock();
    }
    return true;
}

QString said(const QList<MessageAsker::Request>& boxes)
{
    QStringList out;
    for (const MessageAsker::Request& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return out.join(QStringLiteral(" / "));
}

// One failure point: the pass with its n-th allocation failing, what it
// left, and the next pass.
void attempt(Group& g, const QString& action, long n, const QImage& shown, const QImage& once,
             const QList<Place>& placed, QList<MessageAsker::Request>& boxes, bool& hit, long& own)
{
    constexpr int before = 10;
    constexpr int after = 14;
    // Back to where the user starts.
    if (action != QLatin1String("render")) {
        start(g, action, before);
        finish(g.strip);
    }
    QVERIFY2(g.strip->stackedImage == shown, "the strip does not show its picture before the pass");
    boxes.clear();
    Step step(g, action, after);
    {
        failingnew::FailAt fail(n);
        try {
            step.run();
            finish(g.strip);
        } catch (...) {
            fail.stop();
            QFAIL(qPrintable(QStringLiteral("failure point %1 escaped").arg(n)));
        }
        hit = fail.stop();
    }
    // The box of a handler's failure comes from the event loop.
    QCoreApplication::processEvents();
    const QString where = QStringLiteral("failure point %1: ").arg(n);
    const QImage now = g.strip->stackedImage;
    QVERIFY2(!g.strip->isRunning() && locksFree(g), qPrintable(where + QStringLiteral("a lock is held")));
    QVERIFY2(places(g.m.view) == placed, qPrintable(where + QStringLiteral("the glyphs moved")));
    QVERIFY2(boxes.size() <= 1, qPrintable(where + said(boxes)));
    if (boxes.isEmpty()) {
        QVERIFY2(now == once, qPrintable(where + QStringLiteral("a silent failure changed the picture")));
    } else if (boxes.first().title == OWN_TITLE) {
        ++own;
        QVERIFY2(now.isNull() && g.strip->visibleImage.isNull() && boxes.first().text.contains("memory"),
                 qPrintable(where + said(boxes)));
    } else {
        // A request that found no memory to start the pass: the strip
        // keeps its picture.
        QVERIFY2(boxes.first().title == QLatin1String("Out of memory") && now == shown,
                 qPrintable(where + said(boxes)));
    }
    // The next pass, as one that never failed.
    start(g, action, after);
    finish(g.strip);
    QVERIFY2(boxes.size() <= 1, qPrintable(where + QStringLiteral("the next pass: ") + said(boxes)));
    QVERIFY2(g.strip->stackedImage == once, qPrintable(where + QStringLiteral("the next pass draws otherwise")));
}

} // namespace

class OverviewFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pass_data();
    void pass();
};

void OverviewFailuresTest::initTestCase()
{
    // Qt's own code does not recover from its failures (a thread that Qt
    // cannot start, an image it cannot make): the program's are swept.
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "qt5/plugins/platforms", "libstdc++"})
        failingnew::spareCallersIn(library);
}

void OverviewFailuresTest::pass_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("stacked");
    QTest::newRow("matrix changed") << "render" << false;
    QTest::newRow("size slider") << "size" << false;
    // Stacked rows draw their counts beside them.
    QTest::newRow("size slider, stacked") << "size" << true;
}

void OverviewFailuresTest::pass()
{
    QFETCH(QString, action);
    QFETCH(bool, stacked);
    constexpr int after = 14;
    Group g(traces(12));
    g.build();
    if (stacked)
        g.m.view->setStack(true);
    start(g, QStringLiteral("render"), 0);
    finish(g.strip);
    QVERIFY(settle(g.strip));

    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });

    // The picture before, and what a pass that never fails shows after.
    const QImage shown = g.strip->stackedImage;
    start(g, action, after);
    finish(g.strip);
    const QImage once = g.strip->stackedImage;
    QVERIFY(!shown.isNull() && !once.isNull());
    QVERIFY(action == QLatin1String("render") ? once == shown : once != shown);
    const QList<Place> placed = places(g.m.view);
    QVERIFY(boxes.isEmpty());

    long own = 0;
    const long points = sweep::run(action, [&](long n) {
        bool hit = false;
        attempt(g, action, n, shown, once, placed, boxes, hit, own);
        return hit && !QTest::currentTestFailed();
    });
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << action << points << "failure points," << own << "of them ended with the strip's message";
    QVERIFY(points > 0);
    QVERIFY(own > 0);
}

LUMIVANE_TEST(OverviewFailuresTest)
#include "OverviewFailuresTest.moc"
