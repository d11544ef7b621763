#include "TestRegistry.h"
#include "TempWorkDir.h"

#include "core/Constants.h"
#include "core/TVariant.h"

#include <QDir>
#include <QtTest>

class ConstantsTest : public QObject
{
    Q_OBJECT
private slots:
    void settingsPathIsStartDirectory();
    void toolPaths();
    void traceAttributeOrder();
    void absentValue();
    void variableStartValues();
};

void ConstantsTest::settingsPathIsStartDirectory()
{
    // Fixed at start-up: later changes of the current directory don't move it.
    const QString atStart = SETTINGS_PATH;
    QVERIFY(atStart.endsWith(QStringLiteral("/settings.txt")));
    QVERIFY(!atStart.contains(QLatin1Char('\\')));
    QVERIFY(QDir(QFileInfo(atStart).path()).exists());
    TempWorkDir dir;
    QCOMPARE(SETTINGS_PATH, atStart);
    QVERIFY(!SETTINGS_PATH.startsWith(dir.path()));
}

void ConstantsTest::toolPaths()
{
    QCOMPARE(osName(), QStringLiteral("linux"));
    QCOMPARE(TSHARK_PATH, QStringLiteral("/usr/bin/tshark"));
    QCOMPARE(WIRESHARK_PATH, QStringLiteral("/usr/bin/wireshark"));
    QCOMPARE(PRODUCT_NAME, QStringLiteral("LumiVane"));
}

void ConstantsTest::traceAttributeOrder()
{
    // Their order is the trace-side column index of the glyph store.
    const QStringList names{CONV_CONVID, CONV_LENGTH, CONV_FROM_EPOCH, CONV_TO_EPOCH, CONV_DURATION,
                            CONV_SRC_COUNTRY, CONV_DST_COUNTRY, CONV_SRC, CONV_DST,
                            CONV_FROM_SECOND, CONV_FROM_MINUTE, CONV_FROM_HOUR, CONV_FROM_DAY,
                            CONV_FROM_WEEK, CONV_FROM_MONTH, CONV_FROM_YEAR, CONV_FROM_STRDAY,
                            CONV_FROM_STRMONTH, CONV_TO_SECOND, CONV_TO_MINUTE, CONV_TO_HOUR,
                            CONV_TO_DAY, CONV_TO_WEEK, CONV_TO_MONTH, CONV_TO_YEAR, CONV_TO_STRDAY,
                            CONV_TO_STRMONTH};
    const QStringList expected{
        "conv.convid", "conv.length", "conv.from_epoch", "conv.to_epoch", "conv.duration",
        "conv.src_country", "conv.dst_country", "conv.src", "conv.dst", "conv.from_second",
        "conv.from_minute", "conv.from_hour", "conv.from_day", "conv.from_week", "conv.from_month",
        "conv.from_year", "conv.from_strday", "conv.from_strmonth", "conv.to_second",
        "conv.to_minute", "conv.to_hour", "conv.to_day", "conv.to_week", "conv.to_month",
        "conv.to_year", "conv.to_strday", "conv.to_strmonth"};
    QCOMPARE(names, expected);
}

void ConstantsTest::absentValue()
{
    QVERIFY(NULL_VALUE != nullptr);
    QCOMPARE(int(NULL_VALUE->type), int(TVariant::None));
    QVERIFY(!NULL_VALUE->isValid());
    QCOMPARE(NULL_VALUE->toString(), QString());
}

void ConstantsTest::variableStartValues()
{
    QCOMPARE(TIME_ATTRIBUTE, QStringLiteral("frame.time_epoch"));
    QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("ip.src"));
    QCOMPARE(DST_ATTRIBUTE, QStringLiteral("ip.dst"));
}

LUMIVANE_TEST(ConstantsTest)
#include "ConstantsTest.moc"
