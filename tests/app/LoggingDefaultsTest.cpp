#include "TestRegistry.h"

#include "app/LoggingDefaults.h"

#include <QLoggingCategory>
#include <QtTest>

#include <new>

// A log line whose writing runs out of memory is dropped: the program goes on.

namespace {

int attempts = 0;

void outOfMemory(QtMsgType, const QMessageLogContext&, const QString&)
{
    ++attempts;
    throw std::bad_alloc();
}

} // namespace

class LoggingDefaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void lineWithoutMemory();
};

void LoggingDefaultsTest::lineWithoutMemory()
{
    const QtMessageHandler before = qInstallMessageHandler(outOfMemory);
    LoggingDefaults::apply();
    qWarning("the writer has no memory for this line");
    qDebug("nor for this one, which is off");
    qInstallMessageHandler(before);
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(attempts, 1);
}

LUMIVANE_TEST(LoggingDefaultsTest)
#include "LoggingDefaultsTest.moc"
