#include "MessageRecorder.h"
#include "TestRegistry.h"

#include "app/Application.h"

#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <new>

// The backstop, through the delivery the application's notify() uses.

namespace {

struct Calling : QObject
{
    std::function<void()> call;
    bool event(QEvent*) override { return call(), true; }
};

bool deliver(const std::function<void()>& call)
{
    Calling receiver;
    receiver.call = call;
    QEvent event(QEvent::User);
    return Application::deliverGuarded(&receiver, &event, [](QObject* r, QEvent* e) { return qApp->notify(r, e); });
}

bool deliverFailing()
{
    return deliver([]() { throw std::bad_alloc(); });
}

// Runs `f` as a running loop's delivery does.
void fromLoop(const std::function<void()>& f)
{
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&]() { f(), loop.quit(); });
    loop.exec();
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
        int stoppedWhileShown = 0;
        MessageAsker::setHandler([&](const MessageAsker::Request& r) {
            boxes.requests.append(r);
            fromLoop([&]() { stoppedWhileShown += deliverFailing() ? 0 : 1; });
            return QMessageBox::Ok;
        });
        bool delivered = true;
        bool caught = false;
        fromLoop([&]() {
            if (nested)
                deliver([&]() {
                    try {
                        deliverFailing();
                    } catch (const std::bad_alloc&) {
                        caught = true;
                    }
                });
            else
                delivered = deliverFailing();
        });
        QCOMPARE(boxes.requests.size(), 0);   // later, from the loop
        QTest::qWait(50);
        QCOMPARE(caught, nested);
        QCOMPARE(delivered, nested);
        QCOMPARE(boxes.requests.size(), nested ? 0 : 1);
        QCOMPARE(stoppedWhileShown, nested ? 0 : 1);   // with no second box
        if (!nested)
            QVERIFY(boxes.requests[0].icon == QMessageBox::Warning
                    && boxes.requests[0].text.contains(QLatin1String("ran out of memory: the action was stopped")));
    }
};

LUMIVANE_TEST(ApplicationTest)
#include "ApplicationTest.moc"
