#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QtTest>

#include "patterns/RulesFile.h"

namespace {

const QString RULE_TEXT = "~true~true~[ A,a,(0;0;0),(0;0;0),(0;0;0),true,0,0,1 ] --> &&[ delete ]";

QStringList names(const RulesFile& file)
{
    QStringList out;
    for (const Rule& r : file.rules.items)
        out << r.name;
    return out;
}

} // namespace

// The one reader of rules files' text: line ends, blank and skipped lines.
class RulesFileTest : public QObject
{
    Q_OBJECT
private slots:
    void lines_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("skipped");
        QTest::addColumn<bool>("blank");
        const QByteArray r = RULE_TEXT.toLatin1();
        QTest::newRow("LF") << "A" + r + "\nB" + r << QStringList{"A", "B"} << 0 << false;
        QTest::newRow("CRLF, final line break") << "A" + r + "\r\nB" + r + "\r\n" << QStringList{"A", "B"} << 0 << false;
        // Only a carriage return that ends a line goes.
        QTest::newRow("carriage return inside") << "A\rB" + r + "\r" << QStringList{"A\rB"} << 0 << false;
        QTest::newRow("blank lines") << QByteArray(" \r\n\n\t") << QStringList{} << 0 << true;
        QTest::newRow("empty") << QByteArray() << QStringList{} << 0 << true;
        QTest::newRow("unreadable line between")
            << "A" + r + "\nM~true~true~[ A --> &&\nB" + r << QStringList{"A", "B"} << 1 << false;
        // The text ends at the first zero byte; what follows still makes the
        // file more than blank.
        QTest::newRow("zero byte") << "A" + r + "\n" + QByteArray(1, '\0') + "B" + r << QStringList{"A"} << 0 << false;
        QTest::newRow("zero byte first") << QByteArray(1, '\0') + "B" + r << QStringList{} << 0 << false;
        QTest::newRow("Latin-1") << "caf\xe9" + r << QStringList{QString::fromLatin1("caf\xe9")} << 0 << false;
    }
    void lines()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, names);
        QFETCH(int, skipped);
        QFETCH(bool, blank);
        DebugCapture debug;
        debug.setForward(false);
        const RulesFile file = RulesFile::fromBytes(bytes);
        QCOMPARE(::names(file), names);
        QCOMPARE(file.skipped, skipped);
        QCOMPARE(file.blank(), blank);
        QCOMPARE(debug.lines().filter("skipped").size(), skipped);
    }

    // One debug line each for the first twenty; then only the count.
    void manySkipped_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("debugLines");
        QTest::newRow("one") << 1 << "1 line could not be read and was skipped" << 1;
        QTest::newRow("twenty") << 20 << "20 lines could not be read and were skipped" << 20;
        QTest::newRow("twenty-one") << 21 << "21 lines could not be read and were skipped" << 21;
    }
    void manySkipped()
    {
        QFETCH(int, lines);
        QFETCH(QString, text);
        QFETCH(int, debugLines);
        DebugCapture debug;
        debug.setForward(false);
        const RulesFile file = RulesFile::fromText(QString("x~y\n").repeated(lines) + "A" + RULE_TEXT);
        QCOMPARE(file.skipped, lines);
        QCOMPARE(file.skippedText(), text);
        QCOMPARE(debug.lines().filter("skipped").size(), debugLines);
        QCOMPARE(debug.lines().filter("rules file: 21 lines skipped").size(), lines > 20 ? 1 : 0);
        QCOMPARE(::names(file), QStringList{"A"});
    }
};

LUMIVANE_TEST(RulesFileTest)
#include "RulesFileTest.moc"
