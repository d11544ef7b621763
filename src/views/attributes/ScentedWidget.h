#pragma once

#include "core/FlatSet.h"
#include "core/TList.h"
#include "items/ImgWidget.h"

#include <QColor>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <memory>

class Axis;
class BinItem;
class BinSerie;
class Context;
class DoubleSlider;
class IAxis;
class Packet;
class PacketsEvent;
class QMutex;
class JobPool;

// Bin orders of the attribute histograms (the ribbon's "Default",
// "Frequency", "Rarity" and "Selected").
inline constexpr int BIN_SORT_DEFAULT = 0;
inline constexpr int BIN_SORT_FREQUENCY = 1;
inline constexpr int BIN_SORT_RARITY = 2;
inline constexpr int BIN_SORT_SELECTED = 3;

// The small histogram of one attribute of a context: one bar per bin,
// scented with the events picked in it (blue) and the events highlighted
// (orange). A click picks a bin's events and sends them to the other views;
// the range slider under it writes the attribute's column filter into the
// context, and bins whose values the filter excludes are drawn pale and
// cannot be picked. The same class serves event attributes and trace
// attributes (tracesSide).
//
// Threads: compute() runs on a pool thread of the attribute panel while the
// GUI thread is free to draw and handle the mouse. contextMutex guards the
// context pointer, the axes, the bins and the two event sets; every GUI
// operation on them takes it too, and a render only tries it (a busy mutex
// skips the frame and a later one is made). Off the GUI thread compute and
// applySelection only paint into the images: the repaint and the slider
// update they ask for are queued to the GUI thread. The GUI thread's own
// changes (mouse, slider, orders, broadcast) first wait for the panel's
// jobs, so a selection the pool still applies is never overtaken.
//
// Memory: new bins, axes, filters and picked events are made aside and put
// in place once complete, and laying out, marking or hovering the bins
// allocates nothing. Out of memory, a drag of the slider leaves the
// histogram and the column's filter as they were (and its release sends
// nothing), a click leaves the picked events as they were and a hover
// leaves none; each tells the user once.
class ScentedWidget : public ImgWidget
{
    Q_OBJECT

public:
    ScentedWidget(ControlWidget* control, QWidget* parent, const QString& attribute,
                  DoubleSlider* slider, bool tracesSide);
    ~ScentedWidget() override;

    // The whole recomputation: axes, bins and counts over the context.
    void compute(Context* context, bool clearSets, bool relayout);
    // Whether what it shows is what a compute over the context would show
    // with these picked events, bin count, bin order and scale (nothing
    // hovered, the pointer away): its counts can be shown as they are.
    bool showsCountsOf(const Context* context, const QSet<QSharedPointer<Packet>>& picked, int bins,
                       int order, bool logScale) const;
    // Events hovered in another view; they replace highlightedPackets.
    void highlightHovered(const QSet<QSharedPointer<Packet>>& packets);
    // Events selected in another view; they replace pickedPackets.
    void highlightSelected(const QSet<QSharedPointer<Packet>>& packets);
    // Both at once for a selection made in another view, from any thread:
    // highlightHovered with no events, then highlightSelected(records).
    // `members`, when not empty, holds the same records and answers the
    // bins' membership tests faster than the node-based set.
    void applySelection(const QSet<QSharedPointer<Packet>>& records, const PacketSet& members);
    // Sends the picked events to the other views (["select", "ctrl"]).
    void selectPackets();
    // min(X axis bins, maxBins) for a categorical axis, else maxBins.
    int binCount() const;

    void reset() override;
    void setSize(int w, int h) override;
    bool render(bool renderOverlay, bool update, QImage* target) override;
    bool renderOverlay() override;
    QRectF dataRect() override;
    QSize sizeHint() const override;

    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

    // Guards the column filters of the contexts, which every histogram of
    // both panels reads and writes.
    static QMutex* filterMutex();

    static const QColor BAR_COLOR;
    static const QColor FILTERED_COLOR;
    static const QColor HIGHLIGHT_COLOR;
    static const QColor PICK_COLOR;

    TList<BinItem*> hoveredBins;
    TList<BinItem*> pickedBins;
    DoubleSlider* slider;                                // not owned
    QSet<QSharedPointer<Packet>> pickedPackets;
    QSet<QSharedPointer<Packet>> highlightedPackets;
    IAxis* xAxis = nullptr;                              // owned
    Axis* yAxis = nullptr;                               // owned
    QString attribute;
    int maxBins = 8;
    bool tracesSide;
    BinSerie* serie = nullptr;                           // owned, with its bins
    bool manyValues = false;
    Context* context = nullptr;                          // not owned
    QMutex* contextMutex;                                // owned
    QSet<int> filteredBins;
    bool logarithmic = false;
    int binSort = BIN_SORT_DEFAULT;
    TList<BinItem*> axisOrder;
    // The pool of the panel's jobs for this histogram (not owned), or null:
    // a change made on the GUI thread first waits for the jobs.
    JobPool* jobPool = nullptr;

signals:
    // Connected to the slider's changeFromToValue; never emitted (the
    // slider is driven by direct calls).
    void setFromToValue(double from, double to);

public slots:
    void sortItems();
    void setLogarithm(bool on);
    void setBinSort(int mode);
    void setXBeginOffset(double value);
    void setXEndOffset(double value);
    void sliderDragTimeOut();
    void sliderDragMove(double from, double to, bool rebuild);
    void sliderDragMove(double from, double to);

private:
    // The parts below run with contextMutex held.
    void buildYAxisLocked();
    void buildXAxisLocked();
    // The X axis for the attribute, the bin count and order; `many` tells
    // whether it has more values than are shown.
    std::unique_ptr<IAxis> makeXAxisLocked(bool& many) const;
    // New bins counted over the context, put in place of the old ones only
    // once complete (out of memory, the old ones stay).
    void rebuildBinsLocked();
    // Counts the records into the n empty bins of `bins`.
    void countBinsLocked(BinSerie& bins, int n);
    // The bins that the column's filter leaves out, and where the slider
    // then stands (when the widget has a width).
    struct PaleBins
    {
        QSet<int> bins;
        bool moveSlider = false;
        double from = 0.0;
        double to = 1.0;
    };
    PaleBins paleBinsLocked() const;
    void layoutBinsLocked();
    void sortItemsLocked();
    int binCountLocked() const;
    bool dropHoveredLocked();
    bool dropPickedLocked();
    // The bins' highlighted counts (events highlighted and not picked) and
    // flags, and hoveredBins, from highlightedPackets.
    void markHighlightedLocked();
    // The bins' picked counts and flags, and pickedBins, from pickedPackets
    // (or `members`, when not empty, which holds the same events).
    void markPickedLocked(const PacketSet& members);
    bool isRangeAttribute() const;
    // The attribute's column on this side; -1 (with a debug line) when the
    // side's attribute map lacks it.
    int columnLocked() const;

    void layoutBins();
    // The picked events as the packets event that selectPackets sends.
    std::unique_ptr<PacketsEvent> pickedEventLocked() const;
    // The parts of the mouse handlers that run out of memory, if any.
    void hover(QMouseEvent* event, bool& changed, QString& tip);
    void pick(QMouseEvent* event);
    // Waits for the panel's jobs (see jobPool).
    void waitForJobs();
    // Lays out and renders after a change made on the GUI thread.
    void refreshView();
    // update() on the GUI thread; queued to it from any other thread.
    void requestRepaint();
    // The slider's range set on the GUI thread (queued from a pool thread).
    void moveSlider(double from, double to);
    // One later render after a frame was skipped (queued to the GUI thread
    // from any other; calls from other threads go through the meta-object,
    // so the queued call is made inside Qt).
    void scheduleRender();
    // The same, as a call queued from another thread reaches it.
    Q_INVOKABLE void queuedRender();
    // setSize(-1, -1), queued by a compute that asks for a relayout.
    Q_INVOKABLE void relayout();

    // The widget's geometry as last seen on the GUI thread (the pool thread
    // reads these instead of asking the widget).
    int viewX = 0;
    int viewY = 0;
    int viewWidth = 0;
    int viewHeight = 0;
    bool renderPending = false;
    // Set by a drag of the slider that ran out of memory, until the next.
    bool dragRanOut = false;
    // The picked events a drag left, made with its filter, for the end of
    // the drag to send (so that it needs no memory of its own).
    std::unique_ptr<PacketsEvent> pendingPick;
    // A drag that also makes that event when `pick` is given.
    void sliderDragMove(double from, double to, bool rebuild, std::unique_ptr<PacketsEvent>* pick);
};
