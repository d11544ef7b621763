#pragma once

#include "core/TList.h"

#include <QRunnable>
#include <QSharedPointer>
#include <QString>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

template <typename K, typename V> class THash;
class TVariant;
class Context;
class ContextWorker;
class EventWidget;
class GlyphStore;
class MainWindow;
class Packet;
class QLabel;
class Rule;
class QProgressDialog;
class QThread;
class QThreadPool;

// The hub every view is given at construction: owns the glyph store, keeps
// the global thread pool, loads logs into the views, answers the views'
// questions about the current context, the focused event view and the
// selected events, and routes the custom events between the views.
// It is never shown and has no Qt parent.
class ControlWidget : public QWidget
{
    Q_OBJECT

public:
    class Work;

    // The window may be null (a controller without views, as in tests).
    explicit ControlWidget(MainWindow* window);
    ~ControlWidget() override;

    // Loads a log: a new glyph store and root context "All" are built aside
    // and computed behind a progress dialog; only a completed computation is
    // swapped in and handed to the views, a cancelled one is dropped and the
    // views keep the store and context they show. Nothing is thrown: a load
    // that runs out of memory stops with a message, before the hand-over
    // with the views as they were, during it with the views on an empty log
    // (as at the start). True when the views show the new log.
    bool loadData(TList<QSharedPointer<Packet>> packets, TList<QString> names, TList<int> types);
    // What an import hands over with its events, for the next loadData()
    // only: the log's path and the text pool its values were read through.
    // The new store takes both; a load without them (or a cancelled one)
    // leaves the current store's as they are.
    void setLoadSource(const QString& fileName, THash<QString, TVariant> pool);
    // The rules of a rules file's text, one per line, as RulesFile reads
    // them: blank lines and lines that hold no rule are skipped.
    TList<Rule> loadRules(QString text);

    // The context shown by the left event view (null before any view).
    Context* currentContext() const;
    // The left event view, or null.
    EventWidget* focusedEventWidget() const;
    // The events selected in the left event view.
    TList<QSharedPointer<Packet>> selectedPackets() const;

    // The Wireshark display filter that shows exactly the given events:
    // "frame.number == N" per event with a frame number, joined by " || ",
    // at most 8190 characters long; empty when the log has no
    // "frame.number" attribute or there are no events.
    QString buildDisplayFilter(const TList<QSharedPointer<Packet>>& packets) const;
    // What inspectWireShark() does, for the given events (null: the left
    // event view's selection, read after the file dialogs).
    void inspectFrames(const TList<QSharedPointer<Packet>>* packets);
    // Asks a running inspection to end (its Wireshark is killed) without
    // waiting for it.
    void cancelInspection();
    // Waits for the inspection job only, never for the rest of the pool.
    void waitForInspection();
    // Whether a Wireshark path qualifies: a file exists there and the path
    // contains "wireshark".
    static bool isWiresharkPath(const QString& path);
    // The warning of a load of the log at `fileName` (empty: "the log") that
    // ran out of memory while `during`, with what the window shows now.
    static void tellLoadOutOfMemory(QWidget* parent, const QString& fileName, const QString& during,
                                    const QString& outcome);

    bool event(QEvent* event) override;

    QLabel* statusLabel = nullptr;
    MainWindow* mainWindow = nullptr;
    // The current store; never null while views exist (replaced at every load).
    GlyphStore* glyphStore = nullptr;
    QThreadPool* threadPool = nullptr;
    // The Wireshark job (created on first use).
    Work* work = nullptr;
    ContextWorker* contextWorker = nullptr;
    QProgressDialog* progressDialog = nullptr;
    // Set by setLoadSource(), taken by the next loadData().
    QString loadFileName;
    THash<QString, TVariant>* loadTextPool = nullptr;   // owned

signals:
    // A rule editor changed the glyph store's rule set (a save, a delete, an
    // import). `source` is the rule table that already shows the change, or
    // null; every other rule table refills.
    void rulesChanged(QObject* source);

public slots:
    void exportXes();
    void openPCAP();
    void convertPCAP();
    void inspectWireShark();
    void preprocessCSV();

private:
    // Where the controller's dialogs and boxes open: over the main window
    // (this widget is never shown), or this widget when there is none.
    QWidget* dialogParent();
    // What preprocessCSV() does, under its guard.
    void preprocess();
    bool routeRender(QEvent* event);
    bool routeScroll(QEvent* event);
    void routeContext(QEvent* event);
    void routePackets(QEvent* event);
    void routeFocus(QEvent* event);
    void routeGlyphs(QEvent* event);
    void routeAttribute();
    // Gives the views the new root context, in their order; with a dialog,
    // one view after the other, the dialog naming each, the window's events
    // let through between them. Throws std::bad_alloc when a view ran out
    // of memory, or when anything did in those turns of the window.
    void handOver(Context* context, QProgressDialog* dialog);
    // Computes a new root context on a thread of its own (here when none
    // can be started) behind its dialog, which runs while `wait`.
    void computeRoot(Context* context, QProgressDialog* dialog, bool wait, bool* cancelled, bool* ranOut);
    // A store goes as a replaced one does (logrelease).
    struct StoreRelease
    {
        void operator()(GlyphStore* store) const;
    };
    using StoreHandle = std::unique_ptr<GlyphStore, StoreRelease>;
    // After a hand-over that ran out of memory: the views take an empty
    // log, as at the start, and the failed log and the current one
    // (glyphStore) go.
    void showNoLog(StoreHandle failed);
};

// The Wireshark job: started from the global thread pool, it runs the
// Wireshark program on the capture with the display filter of the events
// and waits for it, in steps, until it ends or the job is cancelled
// (then the program is killed). One per control widget, reused; the pool
// does not delete it.
//
// Threads: the GUI thread marks the job busy (finished false) before it
// hands it to the pool and writes its other fields only while it is
// finished; run() writes nothing but the two flags and `packets`, and sets
// finished last. The filter is built on the GUI thread, so the job reads
// nothing of the glyph store.
class ControlWidget::Work : public QRunnable
{
public:
    explicit Work(ControlWidget* control);

    void run() override;

    // False from the moment the job is handed to the pool until run() ends.
    std::atomic<bool> finished{true};
    std::atomic<bool> cancel{false};
    TList<QSharedPointer<Packet>> packets;
    QString program;
    QString pcapFile;
    ControlWidget* control;
    // The display filter of `packets`.
    QString filter;
    // Milliseconds of one wait for the program.
    int waitStep = 1000;

private:
    friend class ControlWidget;
    // Tells a waiting GUI thread that run() has ended.
    std::mutex m_mutex;
    std::condition_variable m_ended;
};
