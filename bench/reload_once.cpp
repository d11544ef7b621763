// What a replaced log leaves behind: loads BIG, then SMALL in its place the
// way "Open CSV" does (the new log is read and computed while the old one is
// still shown, then the old one is let go of), and compares the resident
// size with that of SMALL alone in a fresh process. Prints one line:
//
//   fresh_rss_mb=… after_rss_mb=… ratio=… big_rss_mb=… big_events=… small_events=…
//
//   reload_once BIG SMALL GROUPING
//
// GROUPING is the attribute both logs are grouped by. Every record of both
// logs is read (no limit). fresh_rss_mb is the resident size of a child
// process (this program, run as "reload_once --fresh SMALL GROUPING") once it
// has loaded SMALL; after_rss_mb is this process's resident size once SMALL
// has replaced BIG and BIG's memory has been released; big_rss_mb is the
// resident size with BIG loaded. The exit status is 0 when both logs gave
// events.

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/LoggingDefaults.h"
#include "app/MessageAsker.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "model/LogRelease.h"
#include "import/OpenWidget.h"

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

namespace {

// More records than any benchmark log holds: every record is read.
constexpr int NO_LIMIT = 1000000000;

int usage(const char* problem)
{
    std::fprintf(stderr, "reload_once: %s\nusage: reload_once BIG SMALL GROUPING\n", problem);
    return 2;
}

double residentMb()
{
    return double(benchsupport::rssBytes()) / (1024.0 * 1024.0);
}

// Opens `path` in the import dialog and presses "Open": the events reach
// the control widget's loadData, which replaces the log shown before.
// Returns the number of events loaded, -1 when the log cannot be read or
// has no such attribute.
int load(ControlWidget& control, const QString& path, const QString& grouping)
{
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    OpenWidget dialog(&control);
    dialog.openFile();
    if (!dialog.stream)
        return -1;
    const int index = dialog.groupingCombo->findText(grouping);
    if (index < 0)
        return -1;
    dialog.groupingCombo->setCurrentIndex(index);
    dialog.limitEdit->setText(QString::number(NO_LIMIT));
    dialog.import();
    const GlyphStore* store = control.glyphStore;
    return store && store->rootContext ? store->rootContext->packets.size() : 0;
}

// SMALL alone, in this (fresh) process.
int fresh(const QString& small, const QString& grouping)
{
    ControlWidget control(nullptr);
    const int events = load(control, small, grouping);
    if (events <= 0)
        return usage(qPrintable(QStringLiteral("no events read from ") + small));
    // The empty log of the start was released like any replaced one.
    logrelease::waitForReleases();
    std::printf("fresh_rss_mb=%.1f events=%d\n", residentMb(), events);
    std::fflush(stdout);
    return 0;
}

// The resident size the child reports, -1 when it fails.
double freshRun(const QString& program, const QString& small, const QString& grouping)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {QStringLiteral("--fresh"), small, grouping});
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return -1.0;
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    for (const QString& token : out.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        if (token.startsWith(QLatin1String("fresh_rss_mb=")))
            return token.mid(13).toDouble();
    }
    return -1.0;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool child = !args.isEmpty() && args.first() == QLatin1String("--fresh");
    if (child)
        args.removeFirst();
    if (args.size() != (child ? 2 : 3))
        return usage("two logs and the grouping attribute");
    for (int i = 0; i + 1 < args.size(); ++i)
        if (!QFileInfo(args[i]).isReadable())
            return usage(qPrintable(QStringLiteral("cannot read ") + args[i]));

    // The logging the program starts with: what a user gets.
    LoggingDefaults::apply();
    MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });

    int status = 0;
    if (child) {
        status = fresh(args[0], args[1]);
    } else {
        const QString big = args[0];
        const QString small = args[1];
        const QString grouping = args[2];
        // First, before this process grows: the two must not compete for memory.
        const double freshMb = freshRun(QCoreApplication::applicationFilePath(), small, grouping);
        if (freshMb < 0)
            return usage("the fresh run of SMALL failed");

        ControlWidget control(nullptr);
        const int bigEvents = load(control, big, grouping);
        logrelease::waitForReleases();
        const double bigMb = residentMb();
        const int smallEvents = load(control, small, grouping);
        // BIG is freed on the release thread; its memory goes back there too.
        logrelease::waitForReleases();
        const double afterMb = residentMb();
        std::printf("fresh_rss_mb=%.1f after_rss_mb=%.1f ratio=%.2f big_rss_mb=%.1f big_events=%d "
                    "small_events=%d\n",
                    freshMb, afterMb, afterMb / freshMb, bigMb, bigEvents, smallEvents);
        std::fflush(stdout);
        status = bigEvents > 0 && smallEvents > 0 ? 0 : 1;
    }
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
    return status;
}
