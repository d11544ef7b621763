#include "DebugCapture.h"
#include "FileAnswers.h"
#include "PacketRows.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "model/GlyphStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSemaphore>
#include <QThreadPool>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <csignal>

#include <sys/types.h>

namespace {

using Events = TList<QSharedPointer<Packet>>;

// Events whose column 0 is "frame.number" (an empty text: no frame number).
Events frames(const QStringList& numbers)
{
    Events events;
    for (const QString& n : numbers)
        events.append(PacketRows::make({n, QStringLiteral("10.0.0.1")}));
    return events;
}

Events frameRange(int from, int count)
{
    QStringList numbers;
    for (int i = 0; i < count; ++i)
        numbers << QString::number(from + i);
    return frames(numbers);
}

bool alive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH);
}

// A directory with a "wireshark" stub first on PATH: every start writes
// calls/<pid> (its pid, then one argument a line) and sleeps until killed.
// A capture made with text2pcap lies beside the logs. WIRESHARK_PATH names
// the stub while the fixture lives; PATH and the path come back after.
class Stub
{
public:
    Stub()
    {
        QDir().mkpath(m_dir.filePath("bin"));
        QDir().mkpath(m_dir.filePath("calls"));
        program = m_dir.filePath("bin/wireshark");
        QFile script(program);
        if (script.open(QIODevice::WriteOnly)) {
            script.write("#!/bin/sh\n"
                         "calls=\"$(dirname \"$0\")/../calls\"\n"
                         "{ echo \"$$\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } "
                         "> \"$calls/$$.part\"\n"
                         "mv \"$calls/$$.part\" \"$calls/$$\"\n"
                         "exec sleep 600\n");
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        m_path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(m_dir.filePath("bin")) + ':' + m_path);
        m_wireshark = WIRESHARK_PATH;
        WIRESHARK_PATH = program;
    }
    ~Stub()
    {
        // No stub outlives its test.
        for (qint64 pid : pids())
            ::kill(pid_t(pid), SIGKILL);
        qputenv("PATH", m_path);
        WIRESHARK_PATH = m_wireshark;
    }
    Stub(const Stub&) = delete;
    Stub& operator=(const Stub&) = delete;

    QString path(const QString& name) const { return m_dir.filePath(name); }

    // Writes a capture with text2pcap at the path (folders made).
    bool capture(const QString& relative) const
    {
        const QString target = path(relative);
        QDir().mkpath(QFileInfo(target).path());
        const QString dump = path("frame.txt");
        QFile text(dump);
        if (!text.open(QIODevice::WriteOnly))
            return false;
        text.write("0000  ff ff ff ff ff ff 00 11 22 33 44 55 08 00 45 00\n"
                   "0010  00 1c 00 01 00 00 40 11 7c cd 7f 00 00 01 7f 00\n"
                   "0020  00 01 30 39 30 39 00 08 00 00\n");
        text.close();
        QProcess text2pcap;
        text2pcap.start(QStringLiteral("text2pcap"), {QStringLiteral("-q"), dump, target});
        return text2pcap.waitForFinished(20000) && text2pcap.exitCode() == 0
               && QFileInfo(target).size() > 0;
    }

    QList<qint64> pids() const
    {
        QList<qint64> out;
        for (const QString& name : QDir(m_dir.filePath("calls")).entryList(QDir::Files)) {
            if (!name.endsWith(".part"))
                out << name.toLongLong();
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    // The arguments of the start with that pid.
    QStringList arguments(qint64 pid) const
    {
        QFile f(m_dir.filePath("calls/" + QString::number(pid)));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
        lines.removeLast();    // after the last line break
        lines.removeFirst();   // the pid
        return lines;
    }

    // Waits until `count` starts were recorded; their pids in order.
    QList<qint64> waitForStarts(int count) const
    {
        (void)QTest::qWaitFor([&]() { return pids().size() >= count; }, 20000);
        return pids();
    }

    QString program;

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    QString m_wireshark;
};

// A controller whose glyph store holds a log with the given columns at
// `log`; the job waits for the program in steps of `step` ms.
struct Inspector
{
    ControlWidget control{nullptr};

    Inspector(const QString& log, const QStringList& columns, int step = 1000)
    {
        control.glyphStore->fileName = log;
        control.glyphStore->setAttributes(TList<QString>(columns), {});
        control.work = new ControlWidget::Work(&control);
        control.work->waitStep = step;
    }
    bool idle() const { return control.work->finished.load(); }
    bool waitIdle(int ms = 20000) const
    {
        return QTest::qWaitFor([this]() { return idle(); }, ms);
    }
};

const QStringList kColumns{QStringLiteral("frame.number"), QStringLiteral("ip.src")};

} // namespace

class InspectWireSharkTest : public QObject
{
    Q_OBJECT

private slots:
    void displayFilter_data();
    void displayFilter();
    void filterLimit_data();
    void filterLimit();
    void capturePath_data();
    void capturePath();
    void findWireshark_data();
    void findWireshark();
    void emptySelection();
    void secondInspectionKillsFirst();
    void queuedJobIsBusy();
    void loadWhileInspecting();
    void quitEndsInspection();
    void quitChild();
    void inspectCancelStress();
};

void InspectWireSharkTest::displayFilter_data()
{
    QTest::addColumn<QStringList>("columns");
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<QString>("filter");

    QTest::newRow("one event") << kColumns << QStringList{"12"} << "frame.number == 12";
    QTest::newRow("two events") << kColumns << QStringList{"12", "15"}
                                << "frame.number == 12 || frame.number == 15";
    QTest::newRow("no frame.number column")
        << QStringList{"frame.id", "ip.src"} << QStringList{"12", "15"} << "";
    QTest::newRow("no events") << kColumns << QStringList{} << "";
    QTest::newRow("events without a frame number add no term")
        << kColumns << QStringList{"", "12", "", "15", ""}
        << "frame.number == 12 || frame.number == 15";
    QTest::newRow("no event has a frame number") << kColumns << QStringList{"", ""} << "";
    QTest::newRow("frame numbers past the int range")
        << kColumns << QStringList{"4000000000", "2147483648"}
        << "frame.number == 4000000000 || frame.number == 2147483648";
}

void InspectWireSharkTest::displayFilter()
{
    QFETCH(QStringList, columns);
    QFETCH(QStringList, numbers);
    QFETCH(QString, filter);

    ControlWidget control(nullptr);
    control.glyphStore->setAttributes(TList<QString>(columns), {});
    QCOMPARE(control.buildDisplayFilter(frames(numbers)), filter);
}

void InspectWireSharkTest::filterLimit_data()
{
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<int>("leftOut");   // position of the first frame left out, 0 for none

    // 2 two-digit and 326 five-digit frames: 328 terms and 327 separators
    // make exactly 8190 characters.
    QStringList exact{"10", "11"};
    for (int i = 0; i < 326; ++i)
        exact << QString::number(10000 + i);
    QTest::newRow("exactly 8190 characters") << exact << 0;
    QStringList over = exact;
    over[0] = "100";
    QTest::newRow("one character over") << over << 328;

    QStringList many;
    for (int i = 1; i <= 3000; ++i)
        many << QString::number(i);
    QTest::newRow("3000 frames") << many << -1;
    QStringList large;
    for (int i = 0; i < 10000; ++i)
        large << QString::number(2000000000 + i);
    QTest::newRow("10000 large frame numbers") << large << -1;
}

void InspectWireSharkTest::filterLimit()
{
    QFETCH(QStringList, numbers);
    QFETCH(int, leftOut);

    ControlWidget control(nullptr);
    control.glyphStore->setAttributes(TList<QString>(kColumns), {});
    DebugCapture debug;
    debug.setForward(false);
    const QString filter = control.buildDisplayFilter(frames(numbers));

    QVERIFY(filter.size() <= 8190);
    const int terms = filter.count(" || ") + 1;
    const QStringList tooLarge = debug.lines().filter("query is too large");
    if (leftOut == 0) {
        QCOMPARE(filter.size(), 8190);
        QCOMPARE(terms, numbers.size());
        QVERIFY(tooLarge.isEmpty());
        return;
    }
    // The frames that fit come in order; the line names the first left out.
    if (leftOut < 0)
        leftOut = terms + 1;
    QCOMPARE(terms, leftOut - 1);
    QVERIFY(filter.endsWith("frame.number == " + numbers.at(terms - 1)));
    QCOMPARE(tooLarge, QStringList{QStringLiteral("query is too large to fit in console: packets ")
                                   + QString::number(leftOut) + " will not be displayed"});
    // The next term would not have fitted, its separator counted.
    QVERIFY(filter.size() + 4 + 16 + numbers.at(leftOut - 1).size() > 8190);
}

void InspectWireSharkTest::capturePath_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("capture");
    QTest::addColumn<bool>("present");

    QTest::newRow("x.csv") << "x.csv" << "x.pcap" << true;
    QTest::newRow(".csv in a folder name") << "a.csv.d/x.csv" << "a.csv.d/x.pcap" << true;
    QTest::newRow("no .csv at the end") << "a.csv.d/x.log" << "a.csv.d/x.log.pcap" << true;
    QTest::newRow("capture missing, dialog refused") << "y.csv" << "y.pcap" << false;
}

void InspectWireSharkTest::capturePath()
{
    QFETCH(QString, log);
    QFETCH(QString, capture);
    QFETCH(bool, present);

    Stub stub;
    if (present)
        QVERIFY(stub.capture(capture));
    Inspector inspector(stub.path(log), kColumns, 50);
    FileAnswers files;
    DebugCapture debug;
    debug.setForward(false);
    const Events events = frames({"12", "15"});
    inspector.control.inspectFrames(&events);

    const QList<qint64> pids = stub.waitForStarts(1);
    QCOMPARE(pids.size(), 1);
    QCOMPARE(stub.arguments(pids.first()),
             (QStringList{"-r", stub.path(capture), "-Y", "frame.number == 12 || frame.number == 15"}));
    if (present) {
        QVERIFY(debug.contains("pcap file exists"));
        QVERIFY(files.requests.isEmpty());
    } else {
        // Wireshark is started on the derived path and reports it missing itself.
        QCOMPARE(debug.lines().filter("pcap").first(), QString("pcap file does not exists, opening dialog"));
        QVERIFY(debug.contains("Open file failed"));
        QCOMPARE(files.requests.size(), 1);
        QCOMPARE(files.requests.first().caption, QString("Open PCAP"));
        QCOMPARE(files.requests.first().directory, stub.path(capture));
        QCOMPARE(files.requests.first().filter, QString("*.pcap"));
    }
    inspector.control.cancelInspection();
    QVERIFY(inspector.waitIdle());
    QVERIFY(!alive(pids.first()));
}

void InspectWireSharkTest::findWireshark_data()
{
    QTest::addColumn<QString>("setting");   // relative to the stub's directory, "" = the stub
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("dialogs");
    QTest::addColumn<bool>("started");

    QTest::newRow("path qualifies") << "" << QStringList{} << 0 << true;
    QTest::newRow("missing, dialog refused") << "gone/wireshark" << QStringList{} << 1 << false;
    QTest::newRow("missing, stub chosen") << "gone/wireshark" << QStringList{"bin/wireshark"} << 1 << true;
    QTest::newRow("a file without the name, then the stub")
        << "frame.txt" << QStringList{"other.bin", "bin/wireshark"} << 2 << true;
    QTest::newRow("a folder named wireshark") << "bin" << QStringList{"wireshark-dir"} << 2 << false;
}

void InspectWireSharkTest::findWireshark()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, answers);
    QFETCH(int, dialogs);
    QFETCH(bool, started);

    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    QFile(stub.path("other.bin")).open(QIODevice::WriteOnly);
    QDir().mkpath(stub.path("wireshark-dir"));
    QFile(stub.path("frame.txt")).open(QIODevice::WriteOnly);
    if (!setting.isEmpty())
        WIRESHARK_PATH = stub.path(setting);
    const QString first = WIRESHARK_PATH;
    QStringList paths;
    for (const QString& a : answers)
        paths << stub.path(a);

    Inspector inspector(stub.path("x.csv"), kColumns, 50);
    FileAnswers files(paths);
    DebugCapture debug;
    debug.setForward(false);
    const Events events = frames({"7"});
    inspector.control.inspectFrames(&events);

    QCOMPARE(files.requests.size(), dialogs);
    if (dialogs > 0) {
        QCOMPARE(files.requests.first().caption, QString("Find Wireshark"));
        QCOMPARE(files.requests.first().directory, first);
        // Programs have no extension here.
        QCOMPARE(files.requests.first().filter, QString());
        QCOMPARE(files.requests.first().parent, &inspector.control);
    }
    QCOMPARE(debug.contains("Open wireshark failed"), !started);
    if (started) {
        QCOMPARE(WIRESHARK_PATH, stub.program);
        QCOMPARE(stub.waitForStarts(1).size(), 1);
        inspector.control.cancelInspection();
    } else {
        QVERIFY(inspector.idle());
    }
    QVERIFY(inspector.waitIdle());
    QVERIFY(!started || stub.pids().size() == 1);
}

void InspectWireSharkTest::emptySelection()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns);
    DebugCapture debug;
    debug.setForward(false);
    const Events none;
    inspector.control.inspectFrames(&none);
    // The controller without views has no selection either.
    inspector.control.inspectWireShark();
    QVERIFY(inspector.idle());
    QTest::qWait(200);
    QVERIFY(stub.pids().isEmpty());
}

void InspectWireSharkTest::secondInspectionKillsFirst()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    // The program's own wait step.
    Inspector inspector(stub.path("x.csv"), QStringList{"ip.src", "ip.dst"});
    DebugCapture debug;
    debug.setForward(false);
    const Events events = frames({"1", "2"});
    inspector.control.inspectFrames(&events);
    const QList<qint64> first = stub.waitForStarts(1);
    QCOMPARE(first.size(), 1);
    QVERIFY(alive(first.first()));
    // Without "frame.number" the capture opens unfiltered.
    QCOMPARE(stub.arguments(first.first()), (QStringList{"-r", stub.path("x.pcap"), "-Y", ""}));

    QElapsedTimer clock;
    clock.start();
    inspector.control.inspectFrames(&events);
    QVERIFY(!alive(first.first()));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(debug.count("kill"), 1);

    const QList<qint64> both = stub.waitForStarts(2);
    QCOMPARE(both.size(), 2);
    const qint64 second = both.first() == first.first() ? both.last() : both.first();
    QVERIFY(alive(second));
    QVERIFY(!inspector.idle());
    inspector.control.cancelInspection();
    QVERIFY(inspector.waitIdle());
    QVERIFY(!alive(second));
    QCOMPARE(debug.count("kill"), 2);
}

// A job waiting in the global pool's queue is busy: a second inspection
// takes it back instead of starting the same job twice, and waits for no
// other job of the pool.
void InspectWireSharkTest::queuedJobIsBusy()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns, 50);
    DebugCapture debug;
    debug.setForward(false);

    QThreadPool* pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    QSemaphore blocked;
    QSemaphore release;
    // Whatever happens, the pool is free and whole again afterwards.
    struct Restore
    {
        QThreadPool* pool;
        QSemaphore* release;
        int threads;
        ~Restore()
        {
            release->release();
            pool->waitForDone();
            pool->setMaxThreadCount(threads);
        }
    } restore{pool, &release, threads};
    pool->start(QRunnable::create([&]() {
        blocked.release();
        release.acquire();
    }));
    QVERIFY(blocked.tryAcquire(1, 20000));

    const Events first = frames({"1"});
    const Events second = frames({"2"});
    inspector.control.inspectFrames(&first);
    QVERIFY(!inspector.idle());
    QElapsedTimer clock;
    clock.start();
    inspector.control.inspectFrames(&second);
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!inspector.idle());
    QVERIFY(stub.pids().isEmpty());

    release.release();
    const QList<qint64> pids = stub.waitForStarts(1);
    QTest::qWait(300);
    QCOMPARE(stub.pids(), pids);
    QCOMPARE(pids.size(), 1);
    QCOMPARE(stub.arguments(pids.first()).last(), QString("frame.number == 2"));
    inspector.control.cancelInspection();
    QVERIFY(inspector.waitIdle());
}

// A new log loads while Wireshark shows the old one: nothing waits for its
// window, which stays open.
void InspectWireSharkTest::loadWhileInspecting()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns);
    DebugCapture debug;
    debug.setForward(false);
    const Events events = frames({"5"});
    inspector.control.inspectFrames(&events);
    const QList<qint64> pids = stub.waitForStarts(1);
    QCOMPARE(pids.size(), 1);

    GlyphStore* before = inspector.control.glyphStore;
    QElapsedTimer clock;
    clock.start();
    inspector.control.loadData({}, TList<QString>({"a"}), TList<int>({3}));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(inspector.control.glyphStore != before);
    QVERIFY(alive(pids.first()));
    QVERIFY(!inspector.idle());
    inspector.control.cancelInspection();
    QVERIFY(inspector.waitIdle());
    QVERIFY(!alive(pids.first()));
}

// The program quits while Wireshark is open: a child process (this test
// executable, running quitChild) starts an inspection and quits; it must
// end without waiting for the stub, and take the stub with it.
void InspectWireSharkTest::quitEndsInspection()
{
    if (qEnvironmentVariableIsSet("LUMIVANE_QUIT_CHILD"))
        QSKIP("the child's own run");
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LUMIVANE_QUIT_CHILD", stub.path(""));
    env.insert("PATH", QString::fromLocal8Bit(qgetenv("PATH")));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(),
                {"-class", "InspectWireSharkTest", "quitChild"});
    // A generous limit: it only catches a program that waits for the stub.
    const bool ended = child.waitForFinished(60000);
    if (!ended)
        child.kill();
    const QByteArray output = child.readAll();
    QVERIFY2(ended, output.constData());
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
    const QList<qint64> pids = stub.pids();
    QCOMPARE(pids.size(), 1);
    QVERIFY(!alive(pids.first()));
    qDebug() << "child ended after" << clock.elapsed() << "ms";
}

void InspectWireSharkTest::quitChild()
{
    const QString dir = qEnvironmentVariable("LUMIVANE_QUIT_CHILD");
    if (dir.isEmpty())
        QSKIP("run by quitEndsInspection");
    WIRESHARK_PATH = QDir(dir).filePath("bin/wireshark");
    auto* control = new ControlWidget(nullptr);
    control->glyphStore->fileName = QDir(dir).filePath("x.csv");
    control->glyphStore->setAttributes(TList<QString>(kColumns), {});
    const Events events = frames({"3"});
    control->inspectFrames(&events);
    QVERIFY(QTest::qWaitFor([&]() { return !QDir(QDir(dir).filePath("calls")).entryList(QDir::Files).isEmpty(); },
                            20000));
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    // Quitting cancelled the inspection; the controller goes as the main
    // window takes it along.
    QVERIFY(control->work->cancel.load());
    delete control;
}

// AddressSanitizer and ThreadSanitizer material: inspections started,
// cancelled and replaced in quick succession.
void InspectWireSharkTest::inspectCancelStress()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns, 10);
    DebugCapture debug;
    debug.setForward(false);
    const Events events = frameRange(1, 500);
    const int rounds = 40;
    for (int i = 0; i < rounds; ++i) {
        inspector.control.inspectFrames(&events);
        switch (i % 4) {
        case 0:   // cancelled at once, perhaps still in the queue
            inspector.control.cancelInspection();
            inspector.control.waitForInspection();
            break;
        case 1:   // cancelled while the program runs; the next start waits
            QTest::qWait(30);
            inspector.control.cancelInspection();
            break;
        case 2:   // the next inspection cancels it
            break;
        default:
            inspector.control.cancelInspection();
            break;
        }
    }
    inspector.control.cancelInspection();
    inspector.control.waitForInspection();
    QVERIFY(inspector.idle());
    QVERIFY(inspector.control.work->packets.isEmpty());
    // Running programs were killed on the way.
    QVERIFY(debug.count("kill") > 0);
    // Every stub that started is gone.
    for (qint64 pid : stub.pids())
        QVERIFY(!alive(pid));
}

LUMIVANE_TEST(InspectWireSharkTest)
#include "InspectWireSharkTest.moc"
