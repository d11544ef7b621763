#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "Timing.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <memory>

#ifdef __GLIBC__
#include <malloc.h>
#endif

// Logs of many columns and few rows go through the whole import, as "Open
// CSV" runs it (the shown dialog, choosing the file, its lists of columns,
// the load, the root context's histograms, releasing the dialog): what they
// take must follow what they hold, not the number of columns times a fixed
// table size or a widget per column.

namespace {

// A line of `Kb` figures of /proc/self/status, in bytes (0 where unknown).
qint64 statusBytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

// How much the resident memory rose at its highest above where it stood
// when the meter was made. Memory freed earlier is handed back first, so
// that reusing it does not hide a rise. The peak mark is reset where the
// kernel allows it; otherwise the rise is taken above the earlier peak,
// which can only understate it.
class PeakMeter
{
public:
    PeakMeter()
    {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        QFile refs(QStringLiteral("/proc/self/clear_refs"));
        if (refs.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            refs.write("5");
        refs.close();
        base = qMax(statusBytes("VmHWM:"), statusBytes("VmRSS:"));
    }
    qint64 riseMb() const { return qMax<qint64>(0, statusBytes("VmHWM:") - base) >> 20; }
    // The peak of the whole process since the meter was made.
    static qint64 peakMb() { return statusBytes("VmHWM:") >> 20; }

private:
    qint64 base = 0;
};

// A log of `columns` columns named c0, c1, ... and `rows` records whose
// fields `field(row, column)` gives.
template<typename Field>
QByteArray wideLog(int columns, int rows, Field field)
{
    QByteArray bytes;
    bytes.reserve(columns * 8 * (rows + 1));
    for (int c = 0; c < columns; ++c) {
        if (c)
            bytes += ',';
        bytes += 'c';
        bytes += QByteArray::number(c);
    }
    bytes += '\n';
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c)
                bytes += ',';
            bytes += field(r, c);
        }
        bytes += '\n';
    }
    return bytes;
}

} // namespace

class WideLogTest : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
};

void WideLogTest::load_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("limitMb");
    QTest::addColumn<QString>("first");   // value of column c2 in the first event
    QTest::addColumn<int>("distinct");    // values of column c2

    // The largest small number in every column.
    QTest::newRow("8000 x 65535") << 8000 << 1 << 0 << 200 << "65535" << 1;
    QTest::newRow("100000 x 65535") << 100000 << 1 << 0 << 200 << "65535" << 1;
    // A text of its own in every column.
    QTest::newRow("20000 texts") << 20000 << 1 << 1 << 200 << "t2" << 1;
    // Ten records of texts, small numbers and texts shared along a column.
    QTest::newRow("100000 x 10") << 100000 << 10 << 2 << 500 << "v2.0" << 10;
}

void WideLogTest::load()
{
    QFETCH(int, columns);
    QFETCH(int, rows);
    QFETCH(int, kind);
    QFETCH(int, limitMb);
    QFETCH(QString, first);
    QFETCH(int, distinct);

    BoxRecorder boxes;
    TempWorkDir dir;
    const QString path = dir.write(QStringLiteral("wide.csv"), wideLog(columns, rows, [kind](int r, int c) {
        if (kind == 0)
            return QByteArray("65535");
        if (kind == 1 || c % 3 == 2)
            return (kind == 1 ? "t" : "v") + QByteArray::number(c)
                   + (kind == 1 ? QByteArray() : "." + QByteArray::number(r));
        if (c % 3 == 0)
            return QByteArray::number((c * 7 + r) % 65536);
        return "x" + QByteArray::number(c % 97) + "_" + QByteArray::number(r % 3);
    }));
    qint64 rise = 0;
    qint64 peak = 0;
    qint64 chosen = 0;
    qint64 elapsed = 0;
    {
        ControlWidget control(nullptr);
        // Measured from before the file is chosen to after the dialog is
        // released.
        const PeakMeter meter;
        QElapsedTimer clock;
        clock.start();
        auto dialog = std::make_unique<OpenWidget>(&control);
        dialog->show();
        chooseLog(*dialog, path);
        // The filled dialog is laid out and painted.
        QCoreApplication::processEvents();
        chosen = clock.elapsed();
        dialog->import();
        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        dialog.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        elapsed = clock.elapsed();
        rise = meter.riseMb();
        peak = PeakMeter::peakMb();
        const Context* root = control.glyphStore->rootContext;
        QCOMPARE(root->packets.size(), rows);
        const int column = control.glyphStore->packetAttributeNames.indexOf(QStringLiteral("c2"));
        QCOMPARE(root->packets.at(0)->get(column).toString(), first);
        QCOMPARE(root->histograms.size(), control.glyphStore->packetAttributeNames.size());
        QCOMPARE(root->histograms.at(column).size(), distinct);
    }
    qDebug("%s: chosen in %lld ms, all in %lld ms, peak +%lld MB, process peak %lld MB",
           QTest::currentDataTag(), chosen, elapsed, rise, peak);
    // Sanitizers keep freed memory aside and multiply the time.
    if (!testsupport::sanitizedBuild())
        QVERIFY2(rise < limitMb, qPrintable(QString::number(rise)));
    LUMIVANE_VERIFY_TIME(elapsed, 10000);
}

LUMIVANE_TEST(WideLogTest)
#include "WideLogTest.moc"
