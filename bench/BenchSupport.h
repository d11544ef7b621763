#pragma once

#include <initializer_list>

#include "app/Application.h"
#include "app/MessageAsker.h"
#include "core/Packet.h"
#include "core/TList.h"

#include <QObject>
#include <QPointF>
#include <QSharedPointer>
#include <QString>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class EventWidget;
class GlyphStore;
class MainWindow;
class OpenWidget;
class QElapsedTimer;
class QTimer;
class QWidget;

namespace benchsupport {
// Runs this program again in a scratch folder of its own, which goes once
// the run has ended, and returns the run's exit status: the settings file
// is kept in the folder a program starts in, and a benchmark leaves nothing
// behind in the folder it is started from. In that run it returns -1 and
// goes on in the folder the program was started from, so that relative
// paths mean what they meant; so it does when no scratch folder can be
// made. To be called first thing in main().
int runInScratchFolder(int argc, char** argv);

// For the programs run as PROGRAM PATH GROUPING that load a log into the
// whole main window. Each returns false after a line on stderr (a problem
// and the usage) when the run cannot go on; the program then exits with 2.
//
// Reads PATH (made absolute) and GROUPING from the application's
// arguments, answers every file dialog with the log and every message box
// with OK (but see endOnFailure), and starts the program's logging as the
// program itself does (LoggingDefaults): stderr gets what a user's stderr
// gets. With `action` the program is run as PROGRAM PATH GROUPING ACTION,
// and ACTION goes there.
bool takeLogArguments(const char* program, QString* path, QString* grouping, QString* action = nullptr);
// The exit status of a run that a failure box ended (see endOnFailure).
// The programs' others: 0 (figures printed), 1 (figures incomplete), 2
// (the run cannot be done on this log); an abort or a crash gives 128 and
// more.
constexpr int MESSAGE_EXIT_STATUS = 3;
// Whether the box tells that the work failed: a warning or critical box
// (not a question) whose title begins with "Failed" or whose text says
// that something failed, ran out of memory, cannot or could not be done,
// or that no fields were found. Boxes that end work as planned (a refusal for want of
// memory that can be spared, "Export successful!") are not failures.
bool isFailureMessage(const MessageAsker::Request& request);
// To be called first by every answer to a message box. Once the load has
// begun (prepareImport), a failure box ends the run: "PROGRAM: message:
// TITLE: TEXT" on one line of stderr, the cleanup of setCleanupOnEnd, and
// the exit status MESSAGE_EXIT_STATUS at once, before the work can go on
// into a wait, an abort or a crash. Other boxes return.
void endOnFailure(const MessageAsker::Request& request);
// What endOnFailure removes before the run ends (an empty function:
// nothing); for what the run makes outside its scratch folder.
void setCleanupOnEnd(std::function<void()> cleanup);
// Answers every message box with OK after endOnFailure (what
// takeLogArguments sets up).
void answerWithOk();
// Shows the window with its event matrix at 1600 x 900 and lets it settle.
EventWidget* showMatrixWindow(const char* program, MainWindow& window);
// Reads the log into the import dialog, grouped by `grouping`, ready for
// "Open". The load begins here: from now on a failure box ends the run
// (endOnFailure).
bool prepareImport(const char* program, OpenWidget& dialog, const QString& grouping);
// Shows the window as showMatrixWindow does, loads the log the file
// dialogs answer with into it through the import dialog's "Open", grouped
// by `grouping`, and waits until the event matrix shows it and the load has
// settled (waitForQuiet). Returns the matrix, or null when it never showed
// the log.
EventWidget* showLogWindow(const char* program, MainWindow& window, const QString& grouping);
// The offscreen platform, unless QT_QPA_PLATFORM asks for another one (a
// real X server); to be called before the application is made. The
// programs that start the main window make the program's own application
// object (Application), so that running out of memory where no code of the
// action catches it shows the program's box, which isFailureMessage knows.
void preferOffscreen();
// Writes "PROGRAM: problem" and the usage line to stderr; returns false.
bool refuse(const char* program, const QString& problem);
// Lets timers and posted events run for `ms` milliseconds.
void settle(int ms);
// The centre of the first visible glyph of the first tile that shows
// events (where select_once double-clicks); false when there is none.
bool firstGlyphAt(const EventWidget* view, QPointF* at);
// Drops the dialog and box answers of takeLogArguments.
void stopAnswering();
// Waits until the left overview strip has drawn the matrix and the side
// panels' histogram jobs have ended, three times over with 400 ms of
// timers and posted events after each.
void waitForQuiet(MainWindow& window);

// A timer that fires every millisecond in whichever event loop of the GUI
// thread runs: the time between two of its shots is a time the thread did
// not come back to an event loop (plus the millisecond). Times are read on
// `clock`. With the environment variable `traceVariable` set to MS, every
// stall longer than MS milliseconds is written to stderr as it ends.
class StallWatch : public QObject
{
public:
    StallWatch(const QElapsedTimer& clock, const char* traceVariable);

    void start();
    void stop();
    // A shot now, as if the timer had fired: ends the stall that runs.
    void shot();

    struct Stall
    {
        double ms;
        double endMs;
    };
    // The longest stall that ended after `fromMs` and no later than `toMs`
    // (both on the clock); {0, 0} when none did.
    Stall longestBetween(double fromMs, double toMs) const;

    // The longest stall since the start and when it ended.
    double longestMs = 0;
    double longestAtMs = 0;
    // Called at every shot with the time on the clock.
    std::function<void(double)> onShot;

private:
    const QElapsedTimer& clock;
    QTimer* timer;
    qint64 last = 0;
    double traceMs = -1;
    // Every stall of more than a few milliseconds, in order.
    std::vector<Stall> stalls;
};

// Notes the first paint of `view` that starts while `shows` holds; the
// next shot of a stall watch (the paint done) ends it.
class PaintWatch : public QObject
{
public:
    PaintWatch(QWidget* view, std::function<bool()> shows);

    bool eventFilter(QObject* watched, QEvent* e) override;

    bool painting = false;

private:
    QWidget* view;
    std::function<bool()> shows;
};

// Peak resident set size of this process in bytes (VmHWM).
std::size_t peakRssBytes();
// Resident set size of this process now, in bytes (VmRSS).
std::size_t rssBytes();
// Starts the peak (VmHWM) afresh from the memory resident now, where the
// kernel allows it.
void resetPeak();

// The shape of a generated event log.
//
// Project: the project's own log (time, ip.src, ip.dst, numeric and text
// columns), grouped by ip.src with `groups` distinct values; its one
// naturally near-unique column is the time.
//
// Network: a log converted from a network capture: frame number, epoch time
// with microseconds, addresses, two ports, lengths, flags, protocol and an
// info text of which 99 % of the values are distinct; ip.src has `groups`
// distinct values. Its naturally near-unique columns are the frame number,
// the time and the info text.
//
// `nearUnique` is the number of near-unique columns: fewer than the shape's
// natural ones turns the last of those into columns with few values, more
// turns the generic columns past the shape's named ones (`columns` above 10
// for Project, above 14 for Network) into near-unique texts.
struct LogShape
{
    enum Kind { Project, Network };
    Kind kind = Project;
    int lines = 800000;
    int columns = 14;
    int groups = 20000;
    int nearUnique = 1;
    // Network shape: a last column "smb2.cmd" holds an SMB2 command number
    // (0 to 18) on SMB2 lines and nothing on the others; the other columns
    // stay as they are without it.
    bool smb2Commands = false;
    // Network shape: a last column "sip.Call-ID" (after "smb2.cmd") holds
    // one of SIP_CALLS call ids on every line; the other columns stay as
    // they are without it.
    bool sipCalls = false;
    static constexpr int SIP_CALLS = 20000;

    // The shape's named columns (the generic ones come after them).
    int namedColumns() const { return kind == Network ? 14 : 10; }
    // The near-unique columns the shape has by itself.
    int naturalNearUnique() const { return kind == Network ? 3 : 1; }
    // The largest `nearUnique` the columns allow.
    int maxNearUnique() const;
};

// Writes a log of the shape to `path` (replacing it); false when the file
// cannot be written.
bool writeLog(const LogShape& shape, const QString& path);

// A generated log of the shape in the temporary folder (TMPDIR), written
// the first time it is asked for; empty when it cannot be written. A file
// only gets its final name once complete, so an interrupted run leaves no
// truncated log behind to be reused.
QString generatedLog(const LogShape& shape);

// The project's shape with the given number of lines, columns and traces.
QString generatedLog(int lines, int columns = 14, int traces = 20000);

// What the loader hands the events `dialog` has read to, as "Open" does
// (less its dialogs): a glyph store with the dialog's pool and attributes,
// whose root context holds the events and is not computed yet.
std::unique_ptr<GlyphStore> takeLoadedLog(OpenWidget& dialog);

// `traces` traces of `perTrace` events each, trace by trace: a time (from
// 1.6e9, half a second apart), the trace's source (sources[t % size]), a
// kind and a number below 100. With `patterns` > 0 trace t repeats pattern
// t % patterns of kinds, drawn first; otherwise each event draws its kind.
TList<QSharedPointer<Packet>> patternedEvents(int traces, int perTrace, const std::vector<TVariant>& kinds,
                                              const std::vector<TVariant>& sources, int patterns,
                                              quint32 seed);
}

// Runs each named benchmark in a fresh child process (a first run each),
// unless the command line already picks or lists benchmarks: then it runs
// them here, in an application of its own. Returns the exit status.
int runInFreshProcesses(int argc, char** argv, std::initializer_list<const char*> names);
