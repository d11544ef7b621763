#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/Application.h"
#include "app/MainWindow.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <new>
#include <stdexcept>

// The application object's backstop for running out of memory, driven
// through its static delivery (the tests run in an application of their
// own): the event that ran out is stopped, one box tells of it, and what
// the program's own code catches, or other exceptions, pass as before.

namespace {

// Throws at every event: out of memory, or something else.
class Failing : public QObject
{
public:
    explicit Failing(bool memory) : memory(memory) {}
    bool event(QEvent*) override
    {
        if (memory)
            throw std::bad_alloc();
        throw std::runtime_error("not memory");
    }

private:
    bool memory;
};

bool notifyPlain(QObject* receiver, QEvent* event)
{
    return QCoreApplication::instance()->notify(receiver, event);
}

bool deliverFailing(bool memory = true)
{
    Failing failing(memory);
    QEvent event(QEvent::User);
    return Application::deliverGuarded(&failing, &event, notifyPlain);
}

// Runs `f` from a delivery of a running event loop, as the program's code
// runs once the window is up.
template <typename F>
void fromLoop(F f)
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&]() {
        f();
        loop.quit();
    });
    loop.exec();
}

// Hands its event on with sendEvent's road, as a view hands a selection on
// to the controller, and catches what comes back.
class Sender : public QObject
{
public:
    bool event(QEvent*) override
    {
        try {
            deliverFailing();
        } catch (const std::bad_alloc&) {
            caught = true;
        }
        return true;
    }
    bool caught = false;
};

// Runs a loop of its own (a dialog's), in which a delivery runs out.
class Looping : public QObject
{
public:
    bool event(QEvent*) override
    {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&loop, this]() {
            inner = deliverFailing();
            loop.quit();
        });
        loop.exec();
        return true;
    }
    bool inner = true;
};

bool isMemoryBox(const MessageAsker::Request& r)
{
    return r.icon == QMessageBox::Warning && r.title == QLatin1String("Out of memory")
           && r.text.contains(QLatin1String("ran out of memory")) && r.text.contains(QLatin1String("stopped"))
           && r.text.contains(QLatin1String("window goes on"));
}

} // namespace

class ApplicationTest : public QObject
{
    Q_OBJECT

private slots:
    void boundary_data();
    void boundary();
    void oneBoxAtATime();
    void otherExceptionsPass();
};

void ApplicationTest::boundary_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("boxes");
    QTest::newRow("a loop's delivery") << "loop" << 1;
    // The sender catches it, and puts its data back itself.
    QTest::newRow("sent within a delivery") << "sent" << 0;
    // A dialog's own loop inside a delivery is a boundary of its own.
    QTest::newRow("within a nested loop") << "nested" << 1;
    QTest::newRow("a thread's loop") << "thread" << 1;
    // No loop runs yet: the code that sent it gets it back.
    QTest::newRow("before the loop runs") << "none" << 0;
    QTest::newRow("over the main window") << "window" << 1;
}

void ApplicationTest::boundary()
{
    QFETCH(QString, where);
    QFETCH(int, boxes);
    MessageRecorder recorder;
    QList<bool> visible;
    MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        recorder.requests.append(r);
        visible.append(r.parent && r.parent->isVisible());
        return QMessageBox::Ok;
    });
    SettingsGuard settings;
    std::unique_ptr<MainWindow> window;

    bool delivered = true;
    if (where == QLatin1String("loop")) {
        fromLoop([&]() { delivered = deliverFailing(); });
    } else if (where == QLatin1String("sent")) {
        Sender sender;
        QEvent event(QEvent::User);
        fromLoop([&]() { Application::deliverGuarded(&sender, &event, notifyPlain); });
        QVERIFY(sender.caught);
    } else if (where == QLatin1String("nested")) {
        Looping looping;
        QEvent event(QEvent::User);
        fromLoop([&]() { Application::deliverGuarded(&looping, &event, notifyPlain); });
        delivered = looping.inner;
    } else if (where == QLatin1String("thread")) {
        QThread thread;
        QObject there;
        there.moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(&there, [&]() { delivered = deliverFailing(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        QVERIFY(thread.wait(5000));
    } else if (where == QLatin1String("none")) {
        QVERIFY_EXCEPTION_THROWN(deliverFailing(), std::bad_alloc);
    } else {
        window.reset(new MainWindow);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        recorder.requests.clear();
        fromLoop([&]() { delivered = deliverFailing(); });
    }
    QCOMPARE(delivered, boxes == 0);
    // The box comes once the event loop gets to it.
    QCOMPARE(recorder.requests.size(), 0);
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), boxes);
    if (boxes > 0) {
        QVERIFY2(isMemoryBox(recorder.requests.first()), qPrintable(recorder.requests.first().text));
        if (window) {
            QCOMPARE(recorder.requests.first().parent, window.get());
            QVERIFY(visible.first());
        }
    }
}

void ApplicationTest::oneBoxAtATime()
{
    // A failure in every paint: while the box shows, the next failures are
    // stopped without a box of their own; once it is closed, a new one may
    // show.
    MessageRecorder recorder;
    int whileShown = 0;
    MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        recorder.requests.append(r);
        fromLoop([&]() {
            for (int i = 0; i < 3; ++i)
                whileShown += deliverFailing() ? 0 : 1;
        });
        return QMessageBox::Ok;
    });
    fromLoop([]() {
        QVERIFY(!deliverFailing());
        QVERIFY(!deliverFailing());
    });
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 1);
    QCOMPARE(whileShown, 3);
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 1);

    fromLoop([]() { QVERIFY(!deliverFailing()); });
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 2);
    QVERIFY(isMemoryBox(recorder.requests.last()));
}

void ApplicationTest::otherExceptionsPass()
{
    MessageRecorder recorder;
    bool passed = false;
    fromLoop([&]() {
        try {
            deliverFailing(false);
        } catch (const std::runtime_error&) {
            passed = true;
        }
    });
    QVERIFY(passed);
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 0);
}

LUMIVANE_TEST(ApplicationTest)
#include "ApplicationTest.moc"
