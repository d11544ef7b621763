#include "FailingNew.h"
#include "OverviewFixture.h"
#include "TestRegistry.h"
#include "UserSweep.h"

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

// The strip of a matrix, drawn at size 10; the user's step: a change of
// the matrix asks for a pass (its event made before the failures are
// armed), or the slider's timer hands over size 14; then the pass runs to
// its end. The next pass is started from where a failed one left the strip.
class Pass : public usersweep::Scene
{
public:
    Pass(const QString& action, bool stacked) : g(traces(12)), action(action)
    {
        g.build();
        if (stacked)
            g.m.view->setStack(true);
        render.reset(new RenderEvent(g.m.view, {QStringLiteral("OverviewWidget"), 0}));
        QCoreApplication::sendEvent(g.strip, render.get());
        finish();
    }

    void prepare(bool again) override
    {
        // Back to size 10, unless the strip is drawn at it.
        if (!again && g.strip->itemSize != 10) {
            step(10);
            finish();
        }
        if (!again)
            drawn = g.strip->stackedImage.cacheKey();
        render.reset(new RenderEvent(g.m.view, {QStringLiteral("OverviewWidget"), 0}));
    }
    void act() override
    {
        step(14);
        finish();
    }

    // The picture, whether a pass drew it since prepare(), the locks and
    // the places of the matrix's glyphs.
    QStringList state() const override
    {
        QVector<double> places;
        for (const BinCell* cell : g.m.view->cells)
            for (const TList<BinItem*>& row : cell->rows)
                for (const BinItem* item : row)
                    places << item->x << item->y << item->width() << item->height();
        return {picture(g.strip->stackedImage), QStringLiteral("drawn anew %1").arg(g.strip->stackedImage.cacheKey() != drawn),
                QStringLiteral("idle %1").arg(!g.strip->isRunning() && locksFree()),
                QStringLiteral("glyphs placed %1").arg(qHashBits(places.constData(), sizeof(double) * size_t(places.size())))};
    }

    // The strip's own failure shows nothing; a request that found no memory
    // to start the pass keeps the picture.
    QString failed(const MessageAsker::Request& box, const QStringList& after, const QStringList& before,
                   const QStringList& once) override
    {
        QStringList nothing = once;
        nothing[0] = picture(QImage());
        if (box.title == OWN_TITLE ? after != nothing || !g.strip->visibleImage.isNull()
                                   : box.title != QLatin1String("Out of memory") || after != before)
            return QStringLiteral("shows ") + after.join('|');
        return QString();
    }

    Group g;

private:
    void step(int size)
    {
        if (action == QLatin1String("render")) {
            QCoreApplication::sendEvent(g.strip, render.get());
        } else {
            const QSignalBlocker quiet(g.overviewRibbon->sizeSlider);
            g.overviewRibbon->sizeSlider->setValue(size);
            QMetaObject::invokeMethod(g.overviewRibbon->sizeTimer, "timeout");
        }
    }

    // Until the pass asked for has ended and what it queued has run.
    void finish()
    {
        QCoreApplication::processEvents();
        for (int k = 0; g.strip->isRunning() && k < 20000; ++k) {
            QThread::usleep(200);
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
    }

    bool locksFree() const
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

    static QString picture(const QImage& image)
    {
        return image.isNull() ? QStringLiteral("no picture")
                              : QStringLiteral("picture %1x%2 %3")
                                    .arg(image.width())
                                    .arg(image.height())
                                    .arg(qHashBits(image.constBits(), size_t(image.sizeInBytes())));
    }

    QString action;
    std::unique_ptr<RenderEvent> render;
    qint64 drawn = 0;
};

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
    Pass p(action, stacked);
    QVERIFY(settle(p.g.strip));
    const usersweep::Tally t = usersweep::sweep(action, p);
    QVERIFY(!QTest::currentTestFailed());
    // The picture before, and what a pass that never fails shows after.
    QVERIFY(t.before.first().startsWith("picture ") && t.once.first().startsWith("picture "));
    QCOMPARE(t.once.first() == t.before.first(), action == QLatin1String("render"));
    QVERIFY(t.own > 0);
}

LUMIVANE_TEST(OverviewFailuresTest)
#include "OverviewFailuresTest.moc"
