#include "TestRegistry.h"

#include "core/RecordSplitter.h"

#include <QRandomGenerator>
#include <QtTest>

#include <vector>

// The in-place split scans several units at a time; it must cut every line
// exactly where the plain split cuts it, wherever separators and quotes
// fall, and whatever units look like them byte by byte.

namespace {

// The units of a line, for a failure message.
QString shown(const QString& line)
{
    QString out;
    for (const QChar c : line) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F)
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out;
}

// Checks one line; false (with a failure recorded) on a difference.
bool sameFields(const QString& line, char separator, bool inPlace = true)
{
    const QList<QString> expected = RecordSplitter::split(line, separator);
    std::vector<QStringView> views{QStringView(u"stale")};
    QList<QString> storage{QStringLiteral("stale")};
    RecordSplitter::split(line, separator, views, storage);
    QList<QString> got;
    for (const QStringView view : views)
        got << view.toString();
    if (got != expected) {
        QTest::qFail(qPrintable(QStringLiteral("'%1' split at '%2': %3 fields [%4] instead of %5 [%6]")
                                    .arg(shown(line))
                                    .arg(QLatin1Char(separator))
                                    .arg(got.size())
                                    .arg(shown(got.join(QLatin1Char('|'))))
                                    .arg(expected.size())
                                    .arg(shown(expected.join(QLatin1Char('|'))))),
                     __FILE__, __LINE__);
        return false;
    }
    // Without a quote the fields are stretches of the line itself.
    if (inPlace && !line.contains(QLatin1Char('"'))) {
        for (const QStringView view : views) {
            if (view.data() < line.constData() || view.data() + view.size() > line.constData() + line.size()) {
                QTest::qFail(qPrintable(QStringLiteral("'%1': a field outside the line").arg(shown(line))),
                             __FILE__, __LINE__);
                return false;
            }
        }
    }
    return true;
}

// Filler units: letters, non-ASCII, and units one of whose bytes equals a
// separator or a quote (U+2C2C, U+3B3B, U+2222, U+012C, U+FF0C, U+013B).
const ushort kFiller[] = {'a',    'b',    0xE9,   0x2C2C, 'c', 0x3B3B, 0x2222,
                          0x012C, 'd',    0xFF0C, 0x013B, 0x0122, 0,  'e'};

QString filler(int length, int shift)
{
    QString line;
    for (int i = 0; i < length; ++i)
        line += QChar(kFiller[(i + shift) % (sizeof kFiller / sizeof kFiller[0])]);
    return line;
}

} // namespace

class RecordSplitterViewsTest : public QObject
{
    Q_OBJECT

private slots:
    void everyPosition_data();
    void everyPosition();
    void randomLines_data();
    void randomLines();
    void atMostFields_data();
    void atMostFields();
};

void RecordSplitterViewsTest::everyPosition_data()
{
    QTest::addColumn<char>("separator");
    QTest::newRow("comma") << ',';
    QTest::newRow("semicolon") << ';';
}

void RecordSplitterViewsTest::everyPosition()
{
    QFETCH(char, separator);
    const QChar sep = QLatin1Char(separator);
    const QChar quote = QLatin1Char('"');
    const QChar other = QLatin1Char(separator == ',' ? ';' : ',');
    for (int length = 0; length <= 40; ++length) {
        for (int shift = 0; shift < 3; ++shift) {
            const QString base = filler(length, shift);
            if (!sameFields(base, separator))
                return;
            for (int p = 0; p < length; ++p) {
                for (const QChar c : {sep, quote, other}) {
                    QString line = base;
                    line[p] = c;
                    if (!sameFields(line, separator))
                        return;
                }
                // A separator at p with a second separator, or a quote,
                // anywhere after it.
                for (int q = p + 1; q < length; ++q) {
                    for (const QChar c : {sep, quote}) {
                        QString line = base;
                        line[p] = sep;
                        line[q] = c;
                        if (!sameFields(line, separator))
                            return;
                    }
                }
            }
            // Separators only, and every unit but one a separator.
            if (!sameFields(QString(length, sep), separator))
                return;
            for (int p = 0; p < length; ++p) {
                QString line(length, sep);
                line[p] = quote;
                if (!sameFields(line, separator))
                    return;
            }
        }
    }
}

void RecordSplitterViewsTest::randomLines_data()
{
    QTest::addColumn<char>("separator");
    QTest::newRow("comma") << ',';
    QTest::newRow("semicolon") << ';';
}

void RecordSplitterViewsTest::randomLines()
{
    QFETCH(char, separator);
    QRandomGenerator rng{quint32(separator)};
    // Separators and quotes dense enough to meet in most eight-unit
    // stretches; quotes rarer, so that most lines take the fast way.
    for (int n = 0; n < 40000; ++n) {
        const int length = int(rng.bounded(41));
        QString line;
        for (int i = 0; i < length; ++i) {
            const quint32 pick = rng.bounded(100);
            if (pick < 20)
                line += QLatin1Char(separator);
            else if (pick < 22 && n % 4 == 0)
                line += QLatin1Char('"');
            else if (pick < 27)
                line += QLatin1Char(separator == ',' ? ';' : ',');
            else
                line += QChar(kFiller[rng.bounded(int(sizeof kFiller / sizeof kFiller[0]))]);
        }
        // Also a line that is a stretch of a longer text, not at its start
        // (reading it as UTF-16 units copies it: where its views point is
        // not looked at).
        const QString tail = QString::fromRawData(line.constData() + length / 3, length - length / 3);
        if (!sameFields(line, separator) || !sameFields(tail, separator, false))
            return;
    }
}

void RecordSplitterViewsTest::atMostFields_data()
{
    QTest::addColumn<int>("maxFields");
    QTest::newRow("1") << 1;
    QTest::newRow("2") << 2;
    QTest::newRow("3") << 3;
    QTest::newRow("5") << 5;
}

void RecordSplitterViewsTest::atMostFields()
{
    // A line of fewer fields splits as without the cap; a longer one gives
    // the same first fields and one more holding the rest.
    QFETCH(int, maxFields);
    QRandomGenerator rng{quint32(maxFields)};
    std::vector<QStringView> views;
    QList<QString> storage;
    for (int n = 0; n < 20000; ++n) {
        const int length = int(rng.bounded(41));
        QString line;
        for (int i = 0; i < length; ++i) {
            const quint32 pick = rng.bounded(100);
            line += pick < 25 ? QLatin1Char(',') : pick < 28 ? QLatin1Char('"') : QLatin1Char('x');
        }
        const QList<QString> all = RecordSplitter::split(line, ',');
        RecordSplitter::split(line, ',', views, storage, maxFields);
        QStringList capped;
        for (QStringView v : views)
            capped << v.toString();
        if (all.size() < maxFields) {
            QCOMPARE(capped, QStringList(all));
            continue;
        }
        QVERIFY2(capped.size() == maxFields, qPrintable(shown(line)));
        for (int k = 0; k + 1 < maxFields; ++k)
            QCOMPARE(capped.at(k), all.at(k));
    }
}

LUMIVANE_TEST(RecordSplitterViewsTest)
#include "RecordSplitterViewsTest.moc"
