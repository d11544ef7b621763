#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "model/LogRelease.h"
#include "import/OpenWidget.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

// Counts the messages that other threads than this one log while it
// lives, keeping the first of them; passes every message on.
class ForeignMessages
{
public:
    ForeignMessages()
    {
        std::lock_guard<std::mutex> lock(mutex());
        self() = this;
        m_previous = qInstallMessageHandler(&ForeignMessages::handle);
    }
    ~ForeignMessages()
    {
        std::lock_guard<std::mutex> lock(mutex());
        qInstallMessageHandler(m_previous);
        self() = nullptr;
    }
    ForeignMessages(const ForeignMessages&) = delete;
    ForeignMessages& operator=(const ForeignMessages&) = delete;

    int count()
    {
        std::lock_guard<std::mutex> lock(mutex());
        return m_count;
    }
    QString first()
    {
        std::lock_guard<std::mutex> lock(mutex());
        return m_first;
    }

private:
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static ForeignMessages*& self()
    {
        static ForeignMessages* current = nullptr;
        return current;
    }
    static void handle(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
    {
        QtMessageHandler next = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex());
            ForeignMessages* watch = self();
            if (!watch)
                return;
            if (QThread::currentThread() != watch->m_thread && watch->m_count++ == 0)
                watch->m_first = msg;
            next = watch->m_previous;
        }
        if (next)
            next(type, ctx, msg);
    }

    QThread* m_thread = QThread::currentThread();
    QtMessageHandler m_previous = nullptr;
    int m_count = 0;
    QString m_first;
};

void load(ControlWidget& control, const QString& path, int threads)
{
    qputenv("LUMIVANE_THREADS", QByteArray::number(threads));
    OpenWidget dialog(&control);
    chooseLog(dialog, path);
    dialog.import();
    qunsetenv("LUMIVANE_THREADS");
}

// Lets the event loop run for `ms` milliseconds.
void idle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QTest::qWait(10);
}

} // namespace

// A load's threads (the loader, its stretch readers, the context worker and
// its helpers, the thread that frees a replaced log) have all stopped
// logging when the load returns: a debug capture made afterwards on the
// stack hears nothing from them. And a capture itself takes messages from
// any thread at any moment, also while captures are made and go.
class LateMessagesTest : public QObject
{
    Q_OBJECT

private slots:
    void finishedLoadLogsNoMore_data();
    void finishedLoadLogsNoMore();
    void captureTakesMessagesFromAnyThread();
    void nestedCapturesForward();
};

void LateMessagesTest::finishedLoadLogsNoMore_data()
{
    QTest::addColumn<int>("threads");
    QTest::newRow("one reader") << 1;
    QTest::newRow("four readers") << 4;
}

void LateMessagesTest::finishedLoadLogsNoMore()
{
    QFETCH(int, threads);
    TempWorkDir dir;
    BoxRecorder boxes;
    DebugCapture quiet;
    quiet.setForward(false);
    const QString path = dir.write("log.csv", generatedLog(5000, 40));
    ControlWidget control(nullptr);
    {
        // The loader thread reports its progress: the watch hears it.
        ForeignMessages during;
        load(control, path, threads);
        QVERIFY(during.count() > 0);
    }
    QCOMPARE(control.glyphStore->rootContext->packets.size(), 5000);
    ForeignMessages after;
    // This load replaces the first: that one is freed in the background.
    load(control, path, threads);
    const int atReturn = after.count();
    logrelease::waitForReleases();
    idle(200);
    QCOMPARE(control.glyphStore->rootContext->packets.size(), 5000);
    QVERIFY(atReturn > 0);
    QVERIFY2(after.count() == atReturn, qPrintable(after.first()));
}

void LateMessagesTest::captureTakesMessagesFromAnyThread()
{
    // Nothing reaches the test's output, also between the rounds.
    DebugCapture quiet;
    quiet.setForward(false);
    std::atomic<bool> stop{false};
    std::thread talker([&stop]() {
        while (!stop.load()) {
            qDebug().noquote() << "from another thread";
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    // Captures made and gone on this stack while the other thread logs;
    // nested ones, forwarding or not.
    for (int round = 0; round < 300; ++round) {
        DebugCapture outer;
        outer.setForward(false);
        DebugCapture inner;
        inner.setForward(round % 2 == 0);
        qDebug().noquote() << "mine";
        QCOMPARE(inner.count(QStringLiteral("mine")), 1);
        QCOMPARE(outer.count(QStringLiteral("mine")), round % 2 == 0 ? 1 : 0);
    }
    DebugCapture last;
    last.setForward(false);
    QElapsedTimer clock;
    clock.start();
    while (!last.contains(QStringLiteral("from another thread")) && clock.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop.store(true);
    talker.join();
    QVERIFY(last.contains(QStringLiteral("from another thread")));
    QVERIFY(!quiet.contains(QStringLiteral("mine")));
}

void LateMessagesTest::nestedCapturesForward()
{
    DebugCapture outer;
    outer.setForward(false);
    {
        DebugCapture inner;
        qDebug().noquote() << "passed on";
        inner.setForward(false);
        qDebug().noquote() << "kept";
        QCOMPARE(inner.lines(), QStringList({"passed on", "kept"}));
    }
    qDebug().noquote() << "after";
    QCOMPARE(outer.lines(), QStringList({"passed on", "after"}));
}

LUMIVANE_TEST(LateMessagesTest)
#include "LateMessagesTest.moc"
