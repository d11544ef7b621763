#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TestRegistry.h"

#include "app/Application.h"
#include "app/MainWindow.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <new>
#include <stdexcept>
#include <thread>

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

// Hands its event on to `inner` with sendEvent's road, as a view hands a
// selection on to the controller, and catches what comes back.
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
    QTest::newRow("on another thread") << "thread" << 1;
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

    bool returned = false;
    if (where == QLatin1String("loop")) {
        QVERIFY(!deliverFailing());
        returned = true;
    } else if (where == QLatin1String("sent")) {
        Sender sender;
        QEvent event(QEvent::User);
        returned = Application::deliverGuarded(&sender, &event, notifyPlain);
        QVERIFY(sender.caught);
    } else if (where == QLatin1String("nested")) {
        QEvent event(QEvent::User);
        // The sender runs a loop, in which a timer's delivery runs out.
        struct Looping : QObject
        {
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
        } looping;
        returned = Application::deliverGuarded(&looping, &event, notifyPlain);
        QVERIFY(!looping.inner);
    } else if (where == QLatin1String("thread")) {
        bool delivered = true;
        std::thread other([&delivered]() { delivered = deliverFailing(); });
        other.join();
        QVERIFY(!delivered);
        returned = true;
    } else {
        window.reset(new MainWindow);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        recorder.requests.clear();
        QVERIFY(!deliverFailing());
        returned = true;
    }
    QVERIFY(returned);
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
        for (int i = 0; i < 3; ++i)
            whileShown += deliverFailing() ? 0 : 1;
        QCoreApplication::processEvents();
        return QMessageBox::Ok;
    });
    QVERIFY(!deliverFailing());
    QVERIFY(!deliverFailing());
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 1);
    QCOMPARE(whileShown, 3);
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 1);

    QVERIFY(!deliverFailing());
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 2);
    QVERIFY(isMemoryBox(recorder.requests.last()));
}

void ApplicationTest::otherExceptionsPass()
{
    MessageRecorder recorder;
    QVERIFY_EXCEPTION_THROWN(deliverFailing(false), std::runtime_error);
    QTest::qWait(50);
    QCOMPARE(recorder.requests.size(), 0);
}

LUMIVANE_TEST(ApplicationTest)
#include "ApplicationTest.moc"
