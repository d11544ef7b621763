#pragma once

#include "core/FlatSet.h"
#include "core/THash.h"
#include "core/TList.h"

#include <QList>
#include <QRunnable>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QWidget>

#include <atomic>
#include <memory>
#include <type_traits>

class Context;
class ContextEvent;
class ControlWidget;
class GlyphStore;
class JobPool;
class Packet;
class PacketsEvent;
class QScrollArea;
class ScentedWidget;

// The attribute panel: one small histogram with a range slider per
// attribute of the loaded data (event attributes, or trace attributes for
// kind true), at most 15, stacked in a scroll area. The panel picks and
// orders the attributes ("Alphabetical", "Default", "Frequency", "Rarity",
// "Relevance"), computes every histogram as one job on its own thread pool,
// and passes selections, hovers, the logarithmic scale and the bin order on
// to its histograms.
//
// Threads: every operation runs on the GUI thread. A layout starts one job
// per histogram and waits until all of them have finished, so it returns
// with every histogram computed; the pool is the panel's own, so the wait
// never depends on other work of the program, and a job whose thread
// cannot be started runs on the GUI thread (JobPool). A histogram's job
// that cannot be made for want of memory is done on the GUI thread too; a
// selection makes every job it needs before it changes anything. A
// selection that arrives in a packets event is applied on the pool too
// (SelectionWork), without waiting: with hundreds of thousands of events
// the sets and marks take long. Every later operation of the panel, and
// every change a histogram makes on the GUI thread, first waits for the
// pool, so nothing sees or overtakes a selection half applied.
//
// Out of memory, every action that the user or another view starts ends
// here (guardAction), with one message: an action that makes what it needs
// before it changes anything (a selection, a hover) leaves the histograms
// as they were; one that lays the grid out again (a context, a search, an
// order, a bin order, the scale), or a selection job that fails on the
// pool after the sliders were reset for it, leaves the panel without
// histograms until the next layout. A selection's job that marked a
// histogram but could not draw it has the panel draw it again.
class AttributeWidget : public QWidget
{
    Q_OBJECT

public:
    // One histogram computation on the panel's pool; not deleted by the pool.
    class Work : public QRunnable
    {
    public:
        Work();
        void run() override;

        // False while the job runs. Its release on the pool thread and its
        // acquire on the GUI thread after the wait order every write of the
        // job before the GUI thread's next use of the histogram.
        std::atomic<bool> done{true};
        // Set by a run that ran out of memory: the histogram then shows
        // what it had counted, or nothing.
        std::atomic<bool> ranOut{false};
        bool clearSets = false;
        bool relayout = false;
        ScentedWidget* target = nullptr;
        AttributeWidget* owner = nullptr;
    };

    // A selection made in another view, applied on the pool: the selected
    // events become `selected`, and every histogram picks their records
    // (ScentedWidget::applySelection, one job per histogram).
    class SelectionWork : public QRunnable
    {
    public:
        SelectionWork();
        void run() override;
        // What run() does, but for the end of the job.
        void apply();

        // As Work's: false while the job runs, ordering its writes.
        std::atomic<bool> done{true};
        AttributeWidget* owner = nullptr;
        PacketSet events;
        // For trace records: the context's records and their id column,
        // taken on the GUI thread (the context may change meanwhile).
        bool traces = false;
        TList<QSharedPointer<Packet>> records;
        int idColumn = 0;
        TList<ScentedWidget*> targets;
        // Histogram jobs ended; each adds one as its last step.
        std::atomic<int> marked{0};
        // Set by a job that ran out of memory before it changed anything.
        std::atomic<bool> ranOut{false};
        // Set by a histogram's job that marked its bars but ran out of
        // memory drawing them.
        std::atomic<bool> unrendered{false};
        // Set by the GUI thread when nothing of the panel changed for the
        // selection before the job (its sliders were not reset): a job that
        // runs out of memory then leaves the panel as it was.
        bool keep = false;
        // Posted to the panel by such a job, so that the GUI thread tells
        // the user; made in advance, as the job has no memory to make it.
        QEvent* failed = nullptr;
        ~SelectionWork() override;
    };

    AttributeWidget(ControlWidget* controlWidget, bool kind, QWidget* parent);
    ~AttributeWidget() override;

    // Shows the context's histograms in the current order; the flag is
    // accepted for the callers' sake and has no effect.
    void setContext(Context* context, bool = true);
    // Takes the context and works out the selection and the attribute order
    // as setContext does, but leaves the grid as it is: for a caller that
    // lays the grid out right after, so that the histograms are not
    // computed twice.
    void takeContext(Context* context);
    // Lists the attributes with values whose names contain the text
    // (case-sensitive), in the current order.
    void filterAttributes(QString text);
    // Rebuilds the grid for the names and computes its histograms.
    void layoutAttributes(TList<QString> names);
    QList<QString> computeAttributeOrder(QString sort, TList<QString> names);
    // Bins of an attribute's histogram: 1..40 for a range attribute, 0..40
    // for any other.
    int binCount(QString name);
    // The events themselves (kind false) or the trace records that hold
    // them (kind true).
    QSet<QSharedPointer<Packet>> mapToRecords(QSet<QSharedPointer<Packet>> events, bool kind);
    // The information gain of each non-key attribute of names against the
    // records of the selected events, as the "Relevance" order ranks them.
    THash<QString, double> relevanceScores(const TList<QString>& names);
    void setHoverPackets(TList<QSharedPointer<Packet>> events);
    // Applies a selection and returns once it is applied.
    void setSelectedPackets(TList<QSharedPointer<Packet>> events);
    // The same without waiting: the selection is applied on the pool
    // (SelectionWork); a selection in a packets event goes this way.
    void selectPackets(const PacketSet& events);
    // Waits for every job, then makes their writes visible here. A
    // selection job that ran out of memory leaves the panel as it was, or
    // without histograms when its sliders were reset for it, and the user
    // is told; histograms marked but not drawn are drawn here.
    void waitForJobs();
    // Whether a histogram job of the last layout ran out of memory.
    bool ranOutOfMemory() const;
    // The histograms of the current grid, in row order.
    TList<ScentedWidget*> histograms() const;

    bool event(QEvent* event) override;

    TList<QString> attributes;
    ControlWidget* controlWidget;
    bool kind;
    QScrollArea* scrollArea;
    QString filter;
    int rows = 1;
    int columns = 1;
    QWidget* frame;
    Context* context = nullptr;
    QString sort = QStringLiteral("Alphabetical");
    QSet<QSharedPointer<Packet>> selected;
    QSet<QSharedPointer<Packet>> hovered;
    JobPool* pool;                   // the panel's own
    TList<Work*> works;              // owned
    SelectionWork* selectionWork = nullptr;   // owned: the last selection's job
    TList<QWidget*> cells;           // owned
    bool logarithmic = false;
    int binSort = 0;

public slots:
    void refresh(QString order = QString());
    void setLogarithm(bool on);
    void resetSliders(bool flag);
    void resetSliders();
    void setBinSort();
    void setBinSort1();
    void setBinSort2();
    void setBinSort3();
    void setBinSort4();
    void refreshRules();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // What an action that ran out of memory leaves: the panel as it was
    // (the action changed nothing before it failed), or without histograms.
    enum class Recovery { Keep, Empty };
    // Runs `work`, an action of the user or of another view. When it runs
    // out of memory the panel is brought to `recovery`'s state (or is
    // empty, when the work emptied it) and the user is told once, under
    // `title`. An action inside another leaves that to the outer one.
    // Nothing is allocated before the guard is up.
    template <typename Work>
    void guardAction(const QString& title, const QString& action, Recovery recovery, Work&& work)
    {
        using Callable = std::remove_reference_t<Work>;
        guardAction(title, action, recovery, [](void* w) { (*static_cast<Callable*>(w))(); },
                    const_cast<void*>(static_cast<const void*>(&work)));
    }
    void guardAction(const QString& title, const QString& action, Recovery recovery, void (*run)(void*),
                     void* work);
    // The panel without histograms (and without jobs); allocates nothing.
    void dropCells() noexcept;
    // What the message of a panel left as it was, or emptied, says it shows.
    static QString kept();
    static QString emptied();
    // The custom events' handling.
    void packetsEvent(PacketsEvent* event);
    void contextEvent(ContextEvent* event);
    // The bodies of the guarded actions.
    void layoutGrid(const TList<QString>& names);
    void filterBy(const QString& text);
    // A selection job for the events; changes nothing.
    std::unique_ptr<SelectionWork> makeSelection(const PacketSet& events);
    // Puts the job in place of the last one and starts it; allocates
    // nothing. `keep`: nothing was changed for it before (SelectionWork).
    void startSelection(std::unique_ptr<SelectionWork> work, bool keep);
    // The hover put in place on the histograms shown.
    void showHover(const TList<ScentedWidget*>& shown, QSet<QSharedPointer<Packet>>& events,
                   const QSet<QSharedPointer<Packet>>& records);
    void clearSliders(bool flag);

    int actionDepth = 0;
    // Set when the panel was emptied inside a guarded action, or when the
    // action changed it in part (the panel is then emptied).
    bool dropped = false;

    GlyphStore* store() const;
    // What a refresh works out before it lays the grid out: the order
    // (when given), the selection and the attribute order.
    void prepareRefresh(const QString& order);

    // Set when the context is (re)set: the next layout computes every
    // histogram. Until then a layout keeps the histograms whose counts it
    // would compute again unchanged (a new order or filter of the same
    // attributes).
    bool recount = true;
    // Number of distinct values of an attribute in the context.
    int distinctValues(const QString& name) const;
};
