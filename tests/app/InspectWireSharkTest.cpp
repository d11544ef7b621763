#include "DebugCapture.h"
#include "FileAnswers.h"
#include "PacketRows.h"
#include "TestRegistry.h"
#include "MessageRecorder.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "model/GlyphStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <csignal>

namespace {

using Events = TList<QSharedPointer<Packet>>;

const QStringList kColumns{"frame.number", "ip.src"};

// Events whose column 0 holds the number (an empty text: none).
Events frames(const QStringList& numbers)
{
    Events events;
    for (const QString& n : numbers)
        events.append(PacketRows::make({n, "10.0.0.1"}));
    return events;
}

bool alive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

// A "wireshark" stub first on PATH and named by WIRESHARK_PATH: every start
// writes calls/<pid> (its arguments, one a line) and sleeps until killed.
// x.pcap, made with text2pcap, lies beside the log x.csv.
class Stub
{
public:
    Stub()
    {
        QDir().mkpath(path("bin"));
        QDir().mkpath(path("calls"));
        QFile script(path("bin/wireshark"));
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nc=\"$(dirname \"$0\")/../calls\"\n"
                     "printf '%s\\n' \"$@\" > \"$c/$$.part\" && mv \"$c/$$.part\" \"$c/$$\"\n"
                     "exec sleep 600\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        m_path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(path("bin")) + ':' + m_path);
        m_wireshark = WIRESHARK_PATH;
        WIRESHARK_PATH = path("bin/wireshark");
    }
    ~Stub()
    {
        for (qint64 pid : pids())
            ::kill(pid_t(pid), SIGKILL);
        qputenv("PATH", m_path);
        WIRESHARK_PATH = m_wireshark;
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    bool capture(const QString& relative) const
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile dump(path("frame.txt"));
        dump.open(QIODevice::WriteOnly);
        dump.write("0000  ff ff ff ff ff ff 00 11 22 33 44 55 08 00 45 00\n"
                   "0010  00 1c 00 01 00 00 40 11 7c cd 7f 00 00 01 7f 00\n"
                   "0020  00 01 30 39 30 39 00 08 00 00\n");
        dump.close();
        QProcess tool;
        tool.start("text2pcap", {"-q", dump.fileName(), path(relative)});
        return tool.waitForFinished(20000) && tool.exitCode() == 0;
    }
    QList<qint64> pids() const
    {
        QList<qint64> out;
        for (const QString& name : QDir(path("calls")).entryList({"*[0-9]"}, QDir::Files))
            out << name.toLongLong();
        std::sort(out.begin(), out.end());
        return out;
    }
    QStringList arguments(qint64 pid) const
    {
        QFile f(path("calls/" + QString::number(pid)));
        f.open(QIODevice::ReadOnly);
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
        lines.removeLast();
        return lines;
    }
    QList<qint64> waitForStarts(int count) const
    {
        (void)QTest::qWaitFor([&]() { return pids().size() >= count; }, 20000);
        return pids();
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    QString m_wireshark;
};

// A controller with a log of the given columns at `log`, whose job waits
// for the program in steps of `step` ms.
struct Inspector
{
    ControlWidget control{nullptr};

    Inspector(const QString& log, const QStringList& columns = kColumns, int step = 1000)
    {
        control.glyphStore->fileName = log;
        control.glyphStore->setAttributes(TList<QString>(columns), {});
        control.work = new ControlWidget::Work(&control);
        control.work->waitStep = step;
    }
    bool idle() const { return control.work->finished.load(); }
    bool stop()
    {
        control.cancelInspection();
        return QTest::qWaitFor([this]() { return idle(); }, 20000);
    }
};

} // namespace

class InspectWireSharkTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_debug.reset(new DebugCapture); m_debug->setForward(false); }
    void cleanup() { m_debug.reset(); }
    void displayFilter_data();
    void displayFilter();
    void filterLimit_data();
    void filterLimit();
    void dialogs_data();
    void dialogs();
    void secondInspectionKillsFirst();
    void queuedJobIsBusy();
    void loadWhileInspecting();
    void quitEndsInspection();
    void quitChild();
    void inspectCancelStress();

private:
    std::unique_ptr<DebugCapture> m_debug;
};

void InspectWireSharkTest::displayFilter_data()
{
    QTest::addColumn<QStringList>("columns");
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<QString>("filter");

    QTest::newRow("one event") << kColumns << QStringList{"12"} << "frame.number == 12";
    QTest::newRow("two events") << kColumns << QStringList{"12", "15"}
                                << "frame.number == 12 || frame.number == 15";
    QTest::newRow("no frame.number column") << QStringList{"id", "ip.src"} << QStringList{"12"} << "";
    QTest::newRow("no events") << kColumns << QStringList{} << "";
    QTest::newRow("events without a frame number")
        << kColumns << QStringList{"", "12", "", "15"} << "frame.number == 12 || frame.number == 15";
    QTest::newRow("past the int range") << kColumns << QStringList{"4000000000"}
                                        << "frame.number == 4000000000";
}

void InspectWireSharkTest::displayFilter()
{
    QFETCH(QStringList, columns);
    QFETCH(QStringList, numbers);
    QFETCH(QString, filter);
    Inspector inspector("x.csv", columns);
    QCOMPARE(inspector.control.buildDisplayFilter(frames(numbers)), filter);
}

void InspectWireSharkTest::filterLimit_data()
{
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<int>("leftOut");   // first frame left out, from 1; 0 none

    // 328 terms and 327 separators of exactly 8190 characters.
    QStringList exact{"10", "11"};
    for (int i = 0; i < 326; ++i)
        exact << QString::number(10000 + i);
    QTest::newRow("exactly 8190 characters") << exact << 0;
    QStringList over = exact;
    over[0] = "100";
    QTest::newRow("one character over") << over << 328;
    QStringList many;
    for (int i = 1; i <= 10000; ++i)
        many << QString::number(i);
    QTest::newRow("10000 frames") << many << 361;
}

void InspectWireSharkTest::filterLimit()
{
    QFETCH(QStringList, numbers);
    QFETCH(int, leftOut);
    Inspector inspector("x.csv");
    const QString filter = inspector.control.buildDisplayFilter(frames(numbers));
    const int terms = leftOut ? leftOut - 1 : numbers.size();
    QCOMPARE(filter.count(" || "), terms - 1);
    QVERIFY(filter.endsWith("frame.number == " + numbers.at(terms - 1)));
    QVERIFY(filter.size() <= 8190);
    const QStringList lines = m_debug->lines().filter("query is too large");
    if (leftOut)
        QCOMPARE(lines, QStringList{QString("query is too large to fit in console: packets %1 will "
                                            "not be displayed").arg(leftOut)});
    else
        QVERIFY(lines.isEmpty());
}

void InspectWireSharkTest::dialogs_data()
{
    QTest::addColumn<QString>("setting");   // the Wireshark path, "" for the stub
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("capture");   // looked for beside the log
    QTest::addColumn<bool>("present");
    QTest::addColumn<QStringList>("dialogs");
    QTest::addColumn<bool>("onPath");        // the stub on the search path
    QTest::addColumn<QString>("message");    // the start of the one box shown

    const QStringList none;
    QTest::newRow("x.csv") << "" << none << "x.csv" << "x.pcap" << true << none << true << "";
    QTest::newRow(".csv in a folder name") << "" << none << "a.csv.d/x.csv" << "a.csv.d/x.pcap" << true
                                           << none << true << "";
    // Wireshark gets the derived path and reports the missing capture.
    QTest::newRow("capture missing, dialog refused")
        << "" << none << "y.csv" << "y.pcap" << false << QStringList{"Open PCAP"} << true << "";
    QTest::newRow("Wireshark missing, dialog refused")
        << "gone/wireshark" << none << "x.csv" << "x.pcap" << true << QStringList{"Find Wireshark"}
        << true << "Wireshark was not started: no Wireshark program was chosen.";
    QTest::newRow("a file without the name, then the stub")
        << "frame.txt" << QStringList{"frame.txt", "bin/wireshark"} << "x.csv" << "x.pcap" << true
        << QStringList{"Find Wireshark", "Find Wireshark"} << true << "";
    // The settings' program runs from outside the search path.
    QTest::newRow("the settings' program, off the search path")
        << "" << none << "x.csv" << "x.pcap" << true << none << false << "";
    // A settings path that cannot run gives way to the search path's program.
    QTest::newRow("not executable, the search path's program")
        << "notes/wireshark.txt" << none << "x.csv" << "x.pcap" << true << none << true << "";
    QTest::newRow("not executable, none on the search path")
        << "notes/wireshark.txt" << none << "x.csv" << "x.pcap" << true << none << false
        << "Wireshark could not be started: \"%1\" is no executable program, and there is no "
           "wireshark on the search path (PATH). Write the path of the Wireshark program as the "
           "second line of ";
}

void InspectWireSharkTest::dialogs()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, answers);
    QFETCH(QString, log);
    QFETCH(QString, capture);
    QFETCH(bool, present);
    QFETCH(QStringList, dialogs);
    QFETCH(bool, onPath);
    QFETCH(QString, message);

    Stub stub;
    QVERIFY(stub.capture(present ? capture : "other.pcap"));
    if (!setting.isEmpty())
        WIRESHARK_PATH = stub.path(setting);
    if (setting.startsWith("notes/")) {
        QVERIFY(QDir().mkpath(stub.path("notes")));
        QFile notes(WIRESHARK_PATH);
        QVERIFY(notes.open(QIODevice::WriteOnly));
    }
    // Off the search path: one holding only what the stub itself runs.
    QTemporaryDir tools;
    if (!onPath) {
        for (const char* tool : {"dirname", "mv", "sleep"})
            QVERIFY(QFile::link(QStandardPaths::findExecutable(tool), tools.filePath(tool)));
        qputenv("PATH", QFile::encodeName(tools.path()));   // the stub puts it back
    }
    const QString first = WIRESHARK_PATH;
    const bool started = message.isEmpty()
        && (!dialogs.contains("Find Wireshark") || answers.size() == dialogs.size());
    for (QString& a : answers)
        a = stub.path(a);
    Inspector inspector(stub.path(log), kColumns, 50);
    FileAnswers files(answers);
    MessageRecorder boxes;
    const Events events = frames({"12", "15"});
    inspector.control.inspectFrames(&events);

    QCOMPARE(boxes.requests.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
        QCOMPARE(boxes.requests[0].title, QStringLiteral("Failed to start Wireshark"));
        QVERIFY2(boxes.requests[0].text.startsWith(message.arg(first)),
                 qPrintable(boxes.requests[0].text));
        QVERIFY(boxes.requests[0].text.contains("settings.txt"));
    }

    QStringList captions;
    for (const FileAsker::Request& r : files.requests) {
        captions << r.caption;
        QCOMPARE(r.parent, &inspector.control);
        const bool find = r.caption == "Find Wireshark";
        QCOMPARE(r.directory, find ? first : stub.path(capture));
        QCOMPARE(r.filter, find ? QString() : QString("*.pcap"));   // no "*.exe" here
    }
    QCOMPARE(captions, dialogs);
    QCOMPARE(m_debug->contains("Open wireshark failed"), dialogs.contains("Find Wireshark") && !started);
    QCOMPARE(m_debug->contains("pcap file exists"), started && present);
    QCOMPARE(m_debug->contains("Open file failed"), !present);
    QCOMPARE(inspector.idle(), !started);
    const QList<qint64> pids = stub.waitForStarts(started ? 1 : 0);
    QCOMPARE(pids.size(), started ? 1 : 0);
    if (started) {
        QCOMPARE(stub.arguments(pids.first()),
                 (QStringList{"-r", stub.path(capture), "-Y", "frame.number == 12 || frame.number == 15"}));
        QVERIFY(inspector.stop());
        QVERIFY(!alive(pids.first()));
    }
}

void InspectWireSharkTest::secondInspectionKillsFirst()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), {"ip.src", "ip.dst"});   // the real wait step
    const Events events = frames({"1", "2"});
    inspector.control.inspectFrames(&events);
    const QList<qint64> first = stub.waitForStarts(1);
    QCOMPARE(first.size(), 1);
    // Without "frame.number" the capture opens unfiltered.
    QCOMPARE(stub.arguments(first.first()), (QStringList{"-r", stub.path("x.pcap"), "-Y", ""}));

    QElapsedTimer clock;
    clock.start();
    inspector.control.inspectFrames(&events);
    QVERIFY(!alive(first.first()));
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(m_debug->count("kill"), 1);
    const QList<qint64> both = stub.waitForStarts(2);
    QCOMPARE(both.size(), 2);
    const qint64 second = both.first() == first.first() ? both.last() : both.first();
    QVERIFY(alive(second));
    QVERIFY(inspector.stop());
    QVERIFY(!alive(second));
}

// A job waiting in the global pool's queue is busy: a second inspection
// takes it back instead of starting the same job twice, and waits for no
// other job of the pool.
void InspectWireSharkTest::queuedJobIsBusy()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns, 50);
    QThreadPool* pool = QThreadPool::globalInstance();
    QSemaphore blocked;
    QSemaphore release;
    struct Restore   // the pool is free and whole again, whatever happens
    {
        QThreadPool* pool;
        QSemaphore* release;
        int threads;
        ~Restore() { release->release(); pool->waitForDone(); pool->setMaxThreadCount(threads); }
    } restore{pool, &release, pool->maxThreadCount()};
    pool->setMaxThreadCount(1);
    pool->start(QRunnable::create([&]() { blocked.release(); release.acquire(); }));
    QVERIFY(blocked.tryAcquire(1, 20000));

    const Events first = frames({"1"});
    const Events second = frames({"2"});
    inspector.control.inspectFrames(&first);
    QVERIFY(!inspector.idle());
    QElapsedTimer clock;
    clock.start();
    inspector.control.inspectFrames(&second);
    QVERIFY(clock.elapsed() < 2000);
    QVERIFY(stub.pids().isEmpty());

    release.release();
    const QList<qint64> pids = stub.waitForStarts(1);
    QTest::qWait(300);
    QCOMPARE(stub.pids(), pids);
    QCOMPARE(stub.arguments(pids.first()).last(), QString("frame.number == 2"));
    QVERIFY(inspector.stop());
}

// A new log loads while Wireshark shows the old one: its window stays open
// and nothing waits for it.
void InspectWireSharkTest::loadWhileInspecting()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns, 50);
    const Events events = frames({"5"});
    inspector.control.inspectFrames(&events);
    const QList<qint64> pids = stub.waitForStarts(1);
    QCOMPARE(pids.size(), 1);

    QElapsedTimer clock;
    clock.start();
    inspector.control.loadData({}, TList<QString>({"a"}), TList<int>({3}));
    QVERIFY(clock.elapsed() < 3000);
    QVERIFY(alive(pids.first()));
    QVERIFY(inspector.stop());
}

// The program quits while Wireshark is open: a child (this executable,
// running quitChild) must end without waiting for the stub, taking it along.
void InspectWireSharkTest::quitEndsInspection()
{
    if (qEnvironmentVariableIsSet("LUMIVANE_QUIT_CHILD"))
        QSKIP("the child's own run");
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LUMIVANE_QUIT_CHILD", stub.path(""));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"-class", "InspectWireSharkTest", "quitChild"});
    // A generous limit: it only catches a program that waits for the stub.
    const bool ended = child.waitForFinished(60000);
    if (!ended)
        child.kill();
    QVERIFY2(ended && child.exitCode() == 0, child.readAll().constData());
    QCOMPARE(stub.pids().size(), 1);
    QVERIFY(!alive(stub.pids().first()));
}

void InspectWireSharkTest::quitChild()
{
    const QString dir = qEnvironmentVariable("LUMIVANE_QUIT_CHILD");
    if (dir.isEmpty())
        QSKIP("run by quitEndsInspection");
    WIRESHARK_PATH = dir + "/bin/wireshark";
    auto* control = new ControlWidget(nullptr);
    control->glyphStore->fileName = dir + "/x.csv";
    control->glyphStore->setAttributes(TList<QString>(kColumns), {});
    const Events events = frames({"3"});
    control->inspectFrames(&events);
    QVERIFY(QTest::qWaitFor([&]() { return !QDir(dir + "/calls").entryList(QDir::Files).isEmpty(); },
                            20000));
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    QVERIFY(control->work->cancel.load());
    // The controller goes as the main window takes it along.
    delete control;
}

// Sanitizer material: inspections started, cancelled and replaced quickly.
void InspectWireSharkTest::inspectCancelStress()
{
    Stub stub;
    QVERIFY(stub.capture("x.pcap"));
    Inspector inspector(stub.path("x.csv"), kColumns, 10);
    QStringList numbers;
    for (int i = 1; i <= 500; ++i)
        numbers << QString::number(i);
    const Events events = frames(numbers);
    for (int i = 0; i < 40; ++i) {
        inspector.control.inspectFrames(&events);
        if (i % 4 == 1)   // the program runs; the next start waits for the kill
            QTest::qWait(30);
        if (i % 4 != 2)   // else the next inspection cancels it
            inspector.control.cancelInspection();
        if (i % 4 == 0)   // perhaps still in the queue
            inspector.control.waitForInspection();
    }
    QVERIFY(inspector.stop());
    inspector.control.waitForInspection();
    QVERIFY(inspector.control.work->packets.isEmpty());
    QVERIFY(m_debug->count("kill") > 0);
    for (qint64 pid : stub.pids())
        QVERIFY(!alive(pid));
}

LUMIVANE_TEST(InspectWireSharkTest)
#include "InspectWireSharkTest.moc"
