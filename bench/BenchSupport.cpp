#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/LoggingDefaults.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/SettingsWidget.h"
#include "import/OpenWidget.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/ConversationWidget.h"
#include "views/events/BinCell.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QProcess>
#include <QStringList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace benchsupport {

namespace {

// A "kB" line of /proc/self/status, in bytes (0 when absent).
std::size_t statusBytes(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stoull(line.substr(length)) * 1024;
    }
    return 0;
}

} // namespace

int runInScratchFolder(int argc, char** argv)
{
    Q_UNUSED(argc);
    static const char* const from = "LUMIVANE_BENCH_STARTED_IN";
    if (const char* start = std::getenv(from)) {
        // The run in the scratch folder: the settings file's path has been
        // taken from it by now.
        const std::string folder(start);
        unsetenv(from);
        if (chdir(folder.c_str()) != 0)
            std::perror(folder.c_str());
        return -1;
    }
    char here[PATH_MAX];
    if (!getcwd(here, sizeof here))
        return -1;
    QByteArray scratch = QFile::encodeName(QDir::tempPath()) + "/lumivane_bench_XXXXXX";
    if (!mkdtemp(scratch.data()))
        return -1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        rmdir(scratch.constData());
        return -1;
    }
    if (child == 0) {
        // By its own path, so that the run keeps the program's name.
        char self[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        self[length > 0 ? length : 0] = '\0';
        setenv(from, here, 1);
        if (length > 0 && chdir(scratch.constData()) == 0)
            execv(self, argv);
        std::perror("runInScratchFolder");
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    QDir(QFile::decodeName(scratch)).removeRecursively();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

std::size_t peakRssBytes()
{
    return statusBytes("VmHWM:");
}

std::size_t rssBytes()
{
    return statusBytes("VmRSS:");
}

void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

int LogShape::maxNearUnique() const
{
    return naturalNearUnique() + qMax(0, columns - namedColumns());
}

namespace {

// A text that practically never repeats.
void appendUniqueText(QByteArray& line, QRandomGenerator& rng)
{
    line += "id";
    line += QByteArray::number(rng.generate64(), 16);
}

// The generic columns past the named ones: the first `unique` of them
// near-unique texts, the others small numbers.
void appendGenericColumns(QByteArray& line, QRandomGenerator& rng, int from, int columns, int unique)
{
    for (int c = from; c < columns; ++c) {
        line += ",";
        if (c - from < unique)
            appendUniqueText(line, rng);
        else
            line += QByteArray::number(rng.bounded(50));
    }
}

bool writeProject(const LogShape& shape, QFile& f)
{
    QRandomGenerator rng(42);
    const int traces = qMax(1, shape.groups);
    const int extraUnique = qMax(0, shape.nearUnique - 1);
    QByteArray header = "frame.time_epoch,ip.src,ip.dst,frame.len,tcp.srcport,tcp.dstport,"
                        "frame.protocols,smb2.cmd,smb2.filename,http.method";
    for (int c = 10; c < shape.columns; ++c)
        header += ",col" + QByteArray::number(c);
    if (f.write(header + "\n") < 0)
        return false;
    static const char* protos[] = {"eth:ip:tcp", "eth:ip:udp:dns", "eth:ip:tcp:smb2", "eth:ip:tcp:http"};
    static const char* methods[] = {"GET", "POST", "", "PUT"};
    static const char* cmds[] = {"5", "6", "8", "9", ""};
    double t = 1600000000.0;
    QByteArray line;
    for (int i = 0; i < shape.lines; ++i) {
        const int trace = int(rng.bounded(traces));
        t += rng.bounded(1000) / 1000.0;
        line.clear();
        if (shape.nearUnique >= 1)
            line += QByteArray::number(t, 'f', 6);
        else
            line += QByteArray::number(qint64(t / 100) * 100);   // a value per 100 s
        line += ",10.0." + QByteArray::number(trace % 250) + "." + QByteArray::number(trace / 250 % 250);
        line += ",10.1." + QByteArray::number(trace % 7) + ".1";
        line += "," + QByteArray::number(60 + rng.bounded(1400));
        line += "," + QByteArray::number(1024 + trace % 30000);
        line += "," + QByteArray::number(rng.bounded(2) ? 445 : 80);
        line += ",";
        line += protos[rng.bounded(4)];
        line += ",";
        line += cmds[rng.bounded(5)];
        line += ",file" + QByteArray::number(rng.bounded(100)) + ".txt";
        line += ",";
        line += methods[rng.bounded(4)];
        appendGenericColumns(line, rng, 10, shape.columns, extraUnique);
        line += "\n";
        if (f.write(line) < 0)
            return false;
    }
    return true;
}

bool writeNetwork(const LogShape& shape, QFile& f)
{
    QRandomGenerator rng(7);
    const int sources = qMax(1, shape.groups);
    const int extraUnique = qMax(0, shape.nearUnique - 3);
    QByteArray header = "frame.number,frame.time_epoch,ip.src,ip.dst,tcp.srcport,tcp.dstport,"
                        "frame.len,ip.proto,ip.ttl,tcp.flags,tcp.len,tcp.stream,"
                        "_ws.col.Protocol,_ws.col.Info";
    for (int c = 14; c < shape.columns; ++c)
        header += ",col" + QByteArray::number(c);
    if (shape.smb2Commands)
        header += ",smb2.cmd";
    if (shape.sipCalls)
        header += ",sip.Call-ID";
    if (f.write(header + "\n") < 0)
        return false;
    // Drawn apart, so that the other columns are those of the log without it.
    QRandomGenerator commands(11);
    // The call ids: hex numbers at a host, as SIP user agents make them.
    std::vector<QByteArray> callIds;
    QRandomGenerator calls(13);
    if (shape.sipCalls) {
        callIds.reserve(LogShape::SIP_CALLS);
        for (int k = 0; k < LogShape::SIP_CALLS; ++k)
            callIds.push_back(QByteArray::number(calls.generate64(), 16) + "@pbx"
                              + QByteArray::number(k % 7) + ".example.org");
    }
    static const char* protocols[] = {"TCP", "TLSv1.2", "HTTP", "DNS", "SMB2", "UDP"};
    static const char* flags[] = {"0x0010", "0x0018", "0x0002", "0x0012", "0x0011", "0x0004"};
    static const char* flagNames[] = {"[ACK]", "[PSH, ACK]", "[SYN]", "[SYN, ACK]", "[FIN, ACK]", "[RST]"};
    static const int services[] = {443, 80, 445, 53, 22, 8080, 3389, 25};
    static const int ttls[] = {64, 128, 255, 63, 127};
    static const char* common[] = {"Application Data", "Continuation", "Ignored Unknown Record",
                                   "Encrypted Alert", "Server Hello", "Client Hello"};
    double t = 1700000000.0;
    QByteArray line;
    for (int i = 0; i < shape.lines; ++i) {
        t += rng.bounded(2000) / 1000000.0;
        const int source = int(rng.bounded(sources));
        const int service = services[rng.bounded(8)];
        const int port = 1024 + int(rng.bounded(64000));
        const int flag = int(rng.bounded(6));
        const int length = int(rng.bounded(4)) == 0 ? 0 : int(rng.bounded(1400));
        line.clear();
        line += QByteArray::number(shape.nearUnique >= 1 ? i + 1 : i / 1000 + 1);
        line += ",";
        if (shape.nearUnique >= 2)
            line += QByteArray::number(t, 'f', 6);
        else
            line += QByteArray::number(qint64(t));
        line += ",192.168." + QByteArray::number(source / 250) + "." + QByteArray::number(source % 250 + 1);
        line += ",10.20." + QByteArray::number(rng.bounded(4)) + "." + QByteArray::number(rng.bounded(50) + 1);
        line += "," + QByteArray::number(port);
        line += "," + QByteArray::number(service);
        line += "," + QByteArray::number(54 + length);
        line += service == 53 ? ",17" : ",6";
        line += "," + QByteArray::number(ttls[rng.bounded(5)]);
        line += ",";
        line += flags[flag];
        line += "," + QByteArray::number(length);
        line += "," + QByteArray::number(rng.bounded(20000));
        line += ",";
        const int protocol = int(rng.bounded(6));
        line += protocols[protocol];
        line += ",";
        if (shape.nearUnique >= 3 && rng.bounded(100) != 0) {
            // Quoted where it holds a comma, as a CSV writer does.
            const bool quoted = std::strchr(flagNames[flag], ',') != nullptr;
            if (quoted)
                line += '"';
            line += QByteArray::number(port) + " > " + QByteArray::number(service) + " ";
            line += flagNames[flag];
            line += " Seq=" + QByteArray::number(rng.bounded(100000000));
            line += " Ack=" + QByteArray::number(rng.bounded(100000000));
            line += " Win=" + QByteArray::number(rng.bounded(65535));
            line += " Len=" + QByteArray::number(length);
            if (quoted)
                line += '"';
        } else {
            line += common[rng.bounded(6)];
        }
        appendGenericColumns(line, rng, 14, shape.columns, extraUnique);
        if (shape.smb2Commands) {
            line += ",";
            if (std::strcmp(protocols[protocol], "SMB2") == 0)
                line += QByteArray::number(commands.bounded(19));
        }
        if (shape.sipCalls) {
            line += ",";
            line += callIds[calls.bounded(LogShape::SIP_CALLS)];
        }
        line += "\n";
        if (f.write(line) < 0)
            return false;
    }
    return true;
}

} // namespace

bool writeLog(const LogShape& shape, const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = shape.kind == LogShape::Network ? writeNetwork(shape, f) : writeProject(shape, f);
    f.close();
    return written && f.error() == QFileDevice::NoError;
}

QString generatedLog(const LogShape& shape)
{
    QString name;
    if (shape.kind == LogShape::Project && shape.nearUnique == 1)
        name = QStringLiteral("lumivane_bench_%1_%2_%3.csv").arg(shape.lines).arg(shape.columns).arg(shape.groups);
    else
        name = QStringLiteral("lumivane_bench_%1_%2_%3_%4_u%5.csv")
                   .arg(shape.kind == LogShape::Network ? QStringLiteral("network") : QStringLiteral("project"))
                   .arg(shape.lines).arg(shape.columns).arg(shape.groups).arg(shape.nearUnique);
    if (shape.smb2Commands)
        name.insert(name.size() - 4, QStringLiteral("_smb2"));
    if (shape.sipCalls)
        name.insert(name.size() - 4, QStringLiteral("_sip"));
    const QString path = QDir::tempPath() + QLatin1Char('/') + name;
    if (QFileInfo::exists(path))
        return path;
    const QString part = path + QStringLiteral(".part");
    if (!writeLog(shape, part) || !QFile::rename(part, path)) {
        QFile::remove(part);
        return QFileInfo::exists(path) ? path : QString();
    }
    return path;
}

QString generatedLog(int lines, int columns, int traces)
{
    LogShape shape;
    shape.lines = lines;
    shape.columns = columns;
    shape.groups = traces;
    return generatedLog(shape);
}

std::unique_ptr<GlyphStore> takeLoadedLog(OpenWidget& dialog)
{
    TList<int> kinds;
    for (const QString& name : dialog.attributeNames) {
        const int stored = dialog.attributeTypes.value(name, OpenWidget::Text);
        kinds.append(stored == OpenWidget::Numeric ? 1 : stored == OpenWidget::Identifier ? 4 : 3);
    }
    std::unique_ptr<GlyphStore> store(new GlyphStore);
    store->textPool = std::move(dialog.textPool);
    store->resetConversationAttributes();
    store->setAttributes(dialog.attributeNames, kinds);
    // The events move into the context.
    auto* root = new Context(nullptr, QStringLiteral("All"), {}, store.get(), false);
    root->packets = std::move(dialog.packets);
    dialog.packets.clear();
    store->rootContext = root;
    return store;
}

TList<QSharedPointer<Packet>> patternedEvents(int traces, int perTrace, const std::vector<TVariant>& kinds,
                                              const std::vector<TVariant>& sources, int patterns,
                                              quint32 seed)
{
    const quint32 kindCount = quint32(kinds.size());
    QRandomGenerator rng(seed);
    std::vector<std::vector<int>> shapes(std::size_t(std::max(patterns, 0)));
    for (auto& shape : shapes) {
        shape.resize(std::size_t(perTrace));
        for (int& k : shape)
            k = int(rng.bounded(kindCount));
    }
    TList<QSharedPointer<Packet>> events;
    events.items.reserve(std::size_t(traces) * std::size_t(perTrace));
    double time = 1.6e9;
    for (int t = 0; t < traces; ++t) {
        for (int e = 0; e < perTrace; ++e) {
            const int k = patterns > 0 ? shapes[std::size_t(t % patterns)][std::size_t(e)]
                                       : int(rng.bounded(kindCount));
            QSharedPointer<Packet> p(new Packet(TList<TVariant>{
                TVariant(time), sources[std::size_t(t) % sources.size()], kinds[std::size_t(k)],
                TVariant(int(rng.bounded(100)))}));
            p->conversationId = t;
            events.append(p);
            time += 0.5;
        }
    }
    return events;
}

} // namespace benchsupport

int runInFreshProcesses(int argc, char** argv, std::initializer_list<const char*> names)
{
    bool filtered = false;
    for (int i = 1; i < argc; ++i)
        filtered = filtered || QByteArray(argv[i]).startsWith("--benchmark_filter")
                   || QByteArray(argv[i]).startsWith("--benchmark_list_tests");
    if (!filtered) {
        int status = 0;
        for (const char* name : names) {
            QStringList args{QStringLiteral("--benchmark_filter=^%1/").arg(QLatin1String(name))};
            for (int i = 1; i < argc; ++i)
                args.append(QString::fromLocal8Bit(argv[i]));
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QString::fromLocal8Bit(argv[0]), args);
            child.waitForFinished(-1);
            if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
                status = 1;
        }
        return status;
    }

    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

namespace {

// The arguments the usage line names.
const char* usageArguments = "PATH GROUPING";
// The program that takeLogArguments was called for.
const char* programName = "bench";
// Set once the load has begun: failure boxes end the run from then on.
std::atomic<bool> failuresEndRun{false};

std::function<void()>& cleanupOnEnd()
{
    static std::function<void()> cleanup;
    return cleanup;
}

} // namespace

bool benchsupport::isFailureMessage(const MessageAsker::Request& request)
{
    if (request.icon != QMessageBox::Warning && request.icon != QMessageBox::Critical)
        return false;
    if (request.buttons & (QMessageBox::Yes | QMessageBox::No))
        return false;   // a question, which the benchmark answers
    if (request.title.startsWith(QLatin1String("Failed")))
        return true;
    for (const char* sign : {"failed", "out of memory", "cannot", "could not", "no fields were found"})
        if (request.text.contains(QLatin1String(sign), Qt::CaseInsensitive))
            return true;
    return false;
}

void benchsupport::endOnFailure(const MessageAsker::Request& request)
{
    if (!failuresEndRun.load() || !isFailureMessage(request))
        return;
    std::fflush(stdout);
    try {
        // One line, whatever line breaks the text has.
        const QByteArray line = (QStringLiteral("message: ") + request.title.simplified() + QStringLiteral(": ")
                                 + request.text.simplified())
                                    .toLocal8Bit();
        std::fprintf(stderr, "%s: %s\n", programName, line.constData());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: message: (no memory to print it)\n", programName);
    }
    try {
        if (cleanupOnEnd())
            cleanupOnEnd()();
    } catch (const std::exception&) {
        std::fprintf(stderr, "%s: the cleanup did not end\n", programName);
    }
    std::fflush(nullptr);
    // At once: the window and its work are left as they are, since their
    // teardown may need the memory that is lacking.
    std::_Exit(MESSAGE_EXIT_STATUS);
}

void benchsupport::setCleanupOnEnd(std::function<void()> cleanup)
{
    cleanupOnEnd() = std::move(cleanup);
}

void benchsupport::answerWithOk()
{
    MessageAsker::setHandler([](const MessageAsker::Request& request) {
        endOnFailure(request);
        return QMessageBox::Ok;
    });
}

bool benchsupport::refuse(const char* program, const QString& problem)
{
    std::fprintf(stderr, "%s: %s\nusage: %s %s\n", program, qPrintable(problem), program, usageArguments);
    return false;
}

bool benchsupport::takeLogArguments(const char* program, QString* path, QString* grouping, QString* action)
{
    programName = program;
    if (action)
        usageArguments = "PATH GROUPING ACTION";
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() != (action ? 3 : 2))
        return refuse(program, action ? QStringLiteral("one log, a grouping attribute and an action")
                                      : QStringLiteral("one log and a grouping attribute"));
    *path = QFileInfo(args[0]).absoluteFilePath();
    if (!QFileInfo(*path).isReadable())
        return refuse(program, QStringLiteral("cannot read ") + args[0]);
    *grouping = args[1];
    if (action)
        *action = args[2];

    // The logging the program starts with: what a user gets.
    LoggingDefaults::apply();
    const QString log = *path;
    FileAsker::setHandler([log](const FileAsker::Request&) { return log; });
    answerWithOk();
    return true;
}

void benchsupport::stopAnswering()
{
    failuresEndRun.store(false);
    cleanupOnEnd() = nullptr;
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
}

void benchsupport::settle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool benchsupport::firstGlyphAt(const EventWidget* view, QPointF* at)
{
    for (BinCell* cell : view->cells) {
        if (cell->firstLine < 0)
            continue;
        QMutexLocker locker(cell->rowsMutex);
        for (const TList<BinItem*>& row : cell->visibleRows)
            for (const BinItem* item : row) {
                if (!item || !item->visible || item->packets.isEmpty())
                    continue;
                *at = QPointF(std::round((item->parentLeft() + item->parentRight()) / 2),
                              std::round((item->parentTop() + item->parentBottom()) / 2));
                return true;
            }
    }
    return false;
}

EventWidget* benchsupport::showMatrixWindow(const char* program, MainWindow& window)
{
    window.show();
    EventWidget* view = window.leftEventRibbon ? window.leftEventRibbon->view : nullptr;
    if (!view) {
        refuse(program, QStringLiteral("the window has no event matrix"));
        return nullptr;
    }
    window.resize(window.size() + (QSize(1600, 900) - view->size()));
    settle(100);
    return view;
}

bool benchsupport::prepareImport(const char* program, OpenWidget& dialog, const QString& grouping)
{
    // The boxes before (the window's about its settings file, which a
    // fresh scratch folder lacks) are no failure of the load.
    failuresEndRun.store(true);
    dialog.openFile();
    if (!dialog.stream)
        return refuse(program, QStringLiteral("no log read from the file"));
    const int index = dialog.groupingCombo->findText(grouping);
    if (index < 0)
        return refuse(program, QStringLiteral("the log has no attribute ") + grouping);
    dialog.groupingCombo->setCurrentIndex(index);
    return true;
}

EventWidget* benchsupport::showLogWindow(const char* program, MainWindow& window, const QString& grouping)
{
    EventWidget* view = showMatrixWindow(program, window);
    if (!view)
        return nullptr;
    {
        OpenWidget dialog(window.controlWidget);
        if (!prepareImport(program, dialog, grouping))
            return nullptr;
        dialog.import();
    }
    ControlWidget* control = window.controlWidget;
    const auto shown = [control, view]() {
        return control->glyphStore && view->context && view->context == control->glyphStore->rootContext
               && !view->context->packets.isEmpty();
    };
    QElapsedTimer wait;
    wait.start();
    while (!shown() && wait.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!shown()) {
        refuse(program, QStringLiteral("the matrix never showed the log"));
        return nullptr;
    }
    waitForQuiet(window);
    return view;
}

void benchsupport::preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

void benchsupport::waitForQuiet(MainWindow& window)
{
    EventOverviewWidget* overview = window.leftOverviewRibbon ? window.leftOverviewRibbon->overview : nullptr;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer clock;
        clock.start();
        while (overview && overview->isRunning() && clock.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        SettingsWidget* side = window.settingsWidget;
        for (AttributeWidget* panel :
             {side ? static_cast<AttributeWidget*>(side->attributeWidget) : nullptr,
              side ? static_cast<AttributeWidget*>(side->conversationWidget) : nullptr})
            while (panel && panel->pool->activeThreadCount() > 0 && clock.elapsed() < 120000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        settle(400);
    }
}

// ---------------------------------------------------------------------------
// StallWatch

namespace {

// Stalls up to this long are the timer's own pace and are not kept.
constexpr double KEPT_STALL_MS = 3.0;

} // namespace

benchsupport::StallWatch::StallWatch(const QElapsedTimer& clock, const char* traceVariable)
    : clock(clock)
    , timer(new QTimer(this))
{
    const QByteArray trace = qgetenv(traceVariable);
    traceMs = trace.isEmpty() ? -1.0 : trace.toDouble();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, this, [this]() { shot(); });
}

void benchsupport::StallWatch::start()
{
    last = clock.nsecsElapsed();
    timer->start();
}

void benchsupport::StallWatch::stop()
{
    timer->stop();
}

void benchsupport::StallWatch::shot()
{
    const qint64 now = clock.nsecsElapsed();
    const double gap = double(now - last) / 1e6;
    const double at = double(now) / 1e6;
    if (gap > longestMs) {
        longestMs = gap;
        longestAtMs = at;
    }
    if (gap > KEPT_STALL_MS)
        stalls.push_back({gap, at});
    if (traceMs >= 0 && gap > traceMs)
        std::fprintf(stderr, "stall %.1f ms ending at %.1f ms\n", gap, at);
    last = now;
    if (onShot)
        onShot(at);
}

benchsupport::StallWatch::Stall benchsupport::StallWatch::longestBetween(double fromMs, double toMs) const
{
    Stall longest{0, 0};
    for (const Stall& stall : stalls)
        if (stall.endMs > fromMs && stall.endMs <= toMs && stall.ms > longest.ms)
            longest = stall;
    return longest;
}

// ---------------------------------------------------------------------------
// PaintWatch

benchsupport::PaintWatch::PaintWatch(QWidget* view, std::function<bool()> shows)
    : view(view)
    , shows(std::move(shows))
{
    view->installEventFilter(this);
}

bool benchsupport::PaintWatch::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == view && e->type() == QEvent::Paint && !painting && shows())
        painting = true;
    return false;
}
