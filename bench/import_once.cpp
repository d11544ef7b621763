// Imports one event log once, in this fresh process, the way the import
// dialog does it, and prints one line:
//
//   import_ms=… release_ms=… peak_rss_mb=… events=… traces=… freed_ms=…
//
//   import_once PATH [LIMIT] [GROUPING]
//
// LIMIT is the dialog's record limit (800000 when left out). GROUPING is the
// attribute the events are grouped by; left out, the dialog's default choice
// (the first attribute name in sorted order). Columns and types are the ones
// the dialog chooses by itself.
//
// import_ms runs from opening the dialog (header, preview) through the
// loader thread and the root context's computation until the log is handed
// to the (absent) views. release_ms is what the GUI thread pays to let go of
// the loaded log when another one replaces it; freed_ms is the time until
// its memory is freed (on a background thread). peak_rss_mb is the peak
// resident size of the whole process.

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
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>

#include <sys/resource.h>

#include <cstdio>
#include <memory>

namespace {

double peakRssMb()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;   // kilobytes on Linux
}

int usage(const char* problem)
{
    std::fprintf(stderr, "import_once: %s\nusage: import_once PATH [LIMIT] [GROUPING]\n", problem);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.size() > 3)
        return usage("one log, and optionally a limit and a grouping attribute");
    const QString path = args[0];
    if (!QFileInfo(path).isReadable())
        return usage(qPrintable(QStringLiteral("cannot read ") + path));
    int limit = 800000;
    if (args.size() > 1) {
        bool ok = false;
        limit = args[1].toInt(&ok);
        if (!ok || limit < 1)
            return usage(qPrintable(QStringLiteral("the limit is a positive count, not \"") + args[1]
                                    + QLatin1Char('"')));
    }
    const QString grouping = args.size() > 2 ? args[2] : QString();

    // The logging the program starts with: what a user gets.
    LoggingDefaults::apply();
    FileAsker::setHandler([path](const FileAsker::Request&) { return path; });
    MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });

    ControlWidget control(nullptr);
    QElapsedTimer clock;
    clock.start();
    {
        OpenWidget dialog(&control);
        dialog.openFile();
        if (!dialog.stream)
            return usage(qPrintable(QStringLiteral("no log read from ") + path));
        if (!grouping.isEmpty()) {
            const int index = dialog.groupingCombo->findText(grouping);
            if (index < 0)
                return usage(qPrintable(QStringLiteral("the log has no attribute ") + grouping));
            dialog.groupingCombo->setCurrentIndex(index);
        }
        dialog.limitEdit->setText(QString::number(limit));
        dialog.import();
    }
    const double importMs = double(clock.nsecsElapsed()) / 1e6;

    GlyphStore* loaded = control.glyphStore;
    const Context* root = loaded ? loaded->rootContext : nullptr;
    const int events = root ? root->packets.size() : 0;
    const int traces = root ? root->size() : 0;

    // What the GUI thread does with the loaded log once another replaces it.
    control.glyphStore = new GlyphStore;
    clock.restart();
    logrelease::releaseStore(loaded);
    const double releaseMs = double(clock.nsecsElapsed()) / 1e6;
    logrelease::waitForReleases();
    const double freedMs = double(clock.nsecsElapsed()) / 1e6;

    std::printf("import_ms=%.1f release_ms=%.1f peak_rss_mb=%.1f events=%d traces=%d freed_ms=%.1f\n",
                importMs, releaseMs, peakRssMb(), events, traces, freedMs);
    std::fflush(stdout);
    FileAsker::setHandler({});
    MessageAsker::setHandler({});
    return events > 0 ? 0 : 1;
}
