#include "MessageRecorder.h"
#include "TestRegistry.h"

#include "app/Application.h"
#include "core/HandlerGuard.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <new>

// The last resort, through the application's own notify() (the tests run
// under an Application), and the guard every handler runs its body in.

namespace {

struct Calling : QObject
{
    std::function<void()> call;
    bool event(QEvent*) override { return call(), true; }
};

// Runs `f` as a running loop's delivery does: a timer's.
void fromLoop(const std::function<void()>& f)
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&]() { f(); });
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
}

void failingTimer()
{
    throw std::bad_alloc();
}

} // namespace

class ApplicationTest : public QObject
{
    Q_OBJECT

private slots:
    void backstop_data()
    {
        QTest::addColumn<bool>("nested");
        QTest::newRow("a loop's delivery: stopped, one box") << false;
        QTest::newRow("sent within a delivery: back to its sender") << true;
    }

    void backstop()
    {
        QFETCH(bool, nested);
        MessageRecorder boxes;
        unsigned long stoppedWhileShown = 0;
        MessageAsker::setHandler([&](const MessageAsker::Request& r) {
            boxes.requests.append(r);
            const unsigned long before = Application::backstops();
            fromLoop(&failingTimer);
            stoppedWhileShown += Application::backstops() - before;
            return QMessageBox::Ok;
        });
        const unsigned long before = Application::backstops();
        bool caught = false;
        fromLoop([&]() {
            if (!nested)
                throw std::bad_alloc();
            Calling receiver;
            receiver.call = []() { throw std::bad_alloc(); };
            QEvent event(QEvent::User);
            try {
                QCoreApplication::sendEvent(&receiver, &event);
            } catch (const std::bad_alloc&) {
                caught = true;
            }
        });
        QTest::qWait(50);
        QCOMPARE(caught, nested);
        QCOMPARE(Application::backstops() - before - stoppedWhileShown, nested ? 0UL : 1UL);
        QCOMPARE(boxes.requests.size(), nested ? 0 : 1);
        QCOMPARE(stoppedWhileShown, nested ? 0UL : 1UL);   // with no second box
        if (!nested)
            QVERIFY(boxes.requests[0].icon == QMessageBox::Warning
                    && boxes.requests[0].text.contains(QLatin1String("ran out of memory: the action was stopped")));
    }

    void guard_data()
    {
        QTest::addColumn<bool>("paint");
        QTest::newRow("a handler") << false;
        QTest::newRow("a paint: told once until it paints whole") << true;
    }

    void guard()
    {
        QFETCH(bool, paint);
        MessageRecorder boxes;
        const unsigned long failures = HandlerGuard::failures();
        int widget = 0;
        int other = 0;
        auto failing = []() { throw std::bad_alloc(); };
        auto whole = []() {};
        if (paint) {
            QVERIFY(!HandlerGuard::paint(&widget, failing));
            QVERIFY(!HandlerGuard::paint(&widget, failing));
            QTest::qWait(20);
            QVERIFY(!HandlerGuard::paint(&other, failing));
            QTest::qWait(20);
            QVERIFY(HandlerGuard::paint(&other, whole));
            QVERIFY(!HandlerGuard::paint(&other, failing));
            QTest::qWait(20);
        } else {
            QVERIFY(HandlerGuard::run(whole));
            QVERIFY(!HandlerGuard::run(failing));
            QTest::qWait(20);
            QVERIFY(!HandlerGuard::run(failing));
            QTest::qWait(20);
        }
        QCOMPARE(HandlerGuard::failures() - failures, paint ? 4UL : 2UL);
        QCOMPARE(boxes.requests.size(), paint ? 3 : 2);
        for (const MessageAsker::Request& r : boxes.requests)
            QCOMPARE(r.title, QStringLiteral("Out of memory"));
    }
};

LUMIVANE_TEST(ApplicationTest)
#include "ApplicationTest.moc"
