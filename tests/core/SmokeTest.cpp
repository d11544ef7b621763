#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>

class SmokeTest : public QObject
{
    Q_OBJECT
private slots:
    void capturesDefaultCategory()
    {
        DebugCapture capture;
        capture.setForward(false);
        qDebug() << "hello" << 3;
        QCOMPARE(capture.lines(), QStringList{"hello 3"});
    }
};

LUMIVANE_TEST(SmokeTest)
#include "SmokeTest.moc"
