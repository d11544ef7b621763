#pragma once

#include "core/TList.h"
#include "core/TVariant.h"
#include "items/ImgWidget.h"

#include <QColor>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <type_traits>
#include <vector>

class Axis;
class AxisPer;
class BinItem;
class BinSerie;
class Context;
class EventWidget;
class IColorAxis;
class LineChartMiniView;
class Packet;
class QMutex;
class QPainter;
class QPen;
class QPolygonF;

// How many events of the current context fall into each time bin, drawn as
// one filled line per series: series 0 counts every event, and one further
// series counts the events of each value of the colour attribute (or, with
// the colour attribute "Rules", the items of each rule in the same side's
// event matrix). The chart marks the selection of the other views above its
// bins and shades it under the curve, selects bins by click and by dragging
// a rectangle, and zooms its time window with the wheel.
//
// The chart mutex serialises option changes and builds; it is not
// recursive, and setSize, which may rebuild, takes it only when its caller
// does not hold it already. Everything runs on the GUI thread.
//
// What a user's action reaches (an option, a selection sent by another
// view, the mouse, the wheel, a resize, a render from the event loop) ends
// in the chart when memory runs out: the chart lets go of its series and
// its selection and shows no events, one message names memory, and the
// next selection, option change or resize builds the series again. A
// context handed over (setContext, a load) leaves its failure to its
// caller, the chart left without series.
class LineChart : public ImgWidget
{
    Q_OBJECT

public:
    LineChart(ControlWidget* owner, EventWidget* eventView, QWidget* parent);
    ~LineChart() override;

    // Holds back the charts' messages about running out of memory while it
    // lives and tells the first of them when the last such holder goes: an
    // action that reaches both charts of a pair says so once.
    class OneMessage
    {
    public:
        OneMessage();
        ~OneMessage();
        OneMessage(const OneMessage&) = delete;
        OneMessage& operator=(const OneMessage&) = delete;
    };
    // Whether a chart ran out of memory and its message is held back.
    static bool failurePending();

    bool isActive() const;
    void setActive(bool active, bool rebuild);
    // Shows the context over the full span of its time attribute, with the
    // value attribute "#Events" and no colour attribute, then hands the same
    // call to the mini view. Out of memory, std::bad_alloc goes on to the
    // caller, the chart without series.
    virtual void setContext(Context* context, bool clearSelection, bool render);
    void setValueAttribute(const QString& name, int min, int max, bool logarithm, bool rebuild);
    void setColorAttribute(const QString& name, const TList<TVariant>& values,
                           const TList<QColor>& colors, bool rebuild);
    void setDrawArc(bool on);
    void setConnect(bool on);
    void setStack(bool on);
    // The time window; new time and value axes.
    void setRange(double from, double to, bool rebuild);

    void reset() override;
    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void setSize(int w, int h) override;
    QRectF dataRect() override;
    QSize sizeHint() const override;

    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void enterEvent(QEvent* e) override;
    void leaveEvent(QEvent* e) override;

    // The tick step in seconds of the time axis for a window of `span`
    // seconds: a thousandth of span / 40 ms rounded up to one significant
    // digit, at least 1.
    static double tickStep(double span);
    // The bin of time v in [from, to] out of n: trunc((v - from) / (to - from) * (n - 1)).
    static int binOf(double v, double from, double to, int n);
    // Fills the area between `outline` and the baseline y = base and, with
    // a pen, draws the closed outline.
    static void fillUnder(QPainter* painter, const QPolygonF& outline, double base,
                          const QColor& fill, const QPen* pen);
    // The number of bins for a time axis of `length` pixels: at most 512, at least 1.
    static int binCount(double length);
    // The smallest and the largest value of the time attribute in the
    // context (0, 0 without one).
    void fullSpan(double* min, double* max);

    Context* context = nullptr;
    QSet<QSharedPointer<Packet>> selectedPackets;
    TList<BinItem*> hoveredItems;        // not owned
    TList<BinItem*> selectedItems;       // not owned
    AxisPer* timeAxis = nullptr;
    Axis* valueAxis = nullptr;
    IColorAxis* colorAxis = nullptr;
    TList<BinSerie*> series;             // series 0 counts every event
    double axisWidth = 50.0;
    QString valueAttribute = QStringLiteral("#Events");
    QString colorAttribute = QStringLiteral("none");
    QString timeAttribute;
    // The same side's event matrix.
    EventWidget* eventView;
    double from = 0.0;
    double to = 0.0;
    // The linked mini view; null when it is gone.
    QPointer<LineChartMiniView> miniView;
    bool active = true;
    double valueMinimum = -1.0;          // -1: not locked
    double valueMaximum = -1.0;
    bool logarithm = false;
    int countMaximum = 0;
    int countMinimum = 0;
    // Interpolation: only occupied bins get items, the same in every series.
    bool connectBins = false;
    double zoom = 0.0;                   // wheel zoom, percent
    TList<BinItem*> arcs;                // owned
    bool drawArcs = false;
    int arcHeight = 60;
    double dragX1 = -1.0;
    double dragY1 = -1.0;
    double dragX2 = -1.0;
    double dragY2 = -1.0;
    bool dragging = false;
    bool dragSelect = true;
    bool stack = false;
    QMutex* chartMutex;
    // Number of series builds so far.
    int buildCount = 0;

    // The widest zoom the wheel reaches: the window keeps 2 % of the span.
    static constexpr double MAX_ZOOM = 49.0;
    // At most this many bins however long the time axis is.
    static constexpr int MAX_BINS = 512;

public slots:
    void dragTimeOut();
    void moveTimeOut();

protected:
    bool event(QEvent* e) override;

    // Holds the chart mutex unless this thread's caller already does.
    class ChartLock
    {
    public:
        explicit ChartLock(LineChart* chart);
        ~ChartLock();
        ChartLock(const ChartLock&) = delete;
        ChartLock& operator=(const ChartLock&) = delete;

    private:
        LineChart* chart;
        bool took;
    };

    // Rebuilds every series and the arcs; the caller holds the chart mutex.
    void buildSeries();
    // Positions of the items and arcs.
    virtual void layoutItems();
    void drawMarkers(QPainter* painter);
    void drawSelectedRuns(QPainter* painter);
    // Empties the selected set and unselects the selected items.
    void clearSelection();
    // Applies a press: the added items' events join, with a modifier the
    // removed ones' leave; then publishes the whole selected set.
    void selectPackets(const TList<BinItem*>& added, const TList<BinItem*>& removed,
                       bool modifier);
    // Selects the items of series 0 inside the drag rectangle.
    void selectRange(bool send);
    void sendSelection(const TList<QSharedPointer<Packet>>& packets, bool ctrl);
    // Per slot of series 0: whether its item holds a selected event.
    const std::vector<bool>& selectedSlots();
    void selectionChanged();
    QString tooltipText(const BinItem* item) const;
    GlyphStore* store() const;
    // A new value axis over the count range at the time axis's origin.
    void makeValueAxis();
    // Calendar ticks of the time axis for its current size.
    void updateTicks();

    bool chartLocked = false;

    // Runs `work`, what an action of the user does in this chart, so that
    // running out of memory ends here: the chart drops its series, says so
    // once (`action` ends "ran out of memory while ...") and false is
    // returned. Inside another such run of this chart, or inside a context
    // hand-over, the failure goes on to that; a run of the other chart of
    // the pair, inside this one's, recovers its own chart and leaves the
    // message to the outermost run.
    template <typename Work>
    bool guarded(const char* action, Work&& work)
    {
        using Run = std::remove_reference_t<Work>;
        return runGuarded(action, [](void* w) { (*static_cast<Run*>(w))(); }, &work);
    }
    // Builds the series again after a failure dropped them.
    void restoreSeries();

    // A failure left the chart without series.
    bool seriesDropped = false;

private:
    bool runGuarded(const char* action, void (*run)(void*), void* work);
    // Frees the series, the arcs, the selection and the hover and blanks
    // the images; allocates nothing that it cannot do without.
    void dropSeries() noexcept;
    void tellOutOfMemory(const char* action) noexcept;
    static void tellPending() noexcept;
    bool draw(bool overlay, bool update, QImage* target);
    void hover(QMouseEvent* e);
    void press(QMouseEvent* e);
    void takeContext(Context* context, bool clearSelection, bool render);
    void clearSeries();
    // Low and high item counts of a build.
    struct Counts
    {
        int minimum;
        int maximum;
    };
    // Gives every series only the slots occupied in any of them.
    static void compactSeries(TList<BinSerie*>& built, int n, LineChart* owner);
    void buildArcs(int timeColumn, TList<BinItem*>& into);
    // Adds the event to the slot of the series, making the slot's item.
    void addToSlot(BinSerie* serie, int slot, const QSharedPointer<Packet>& packet, Counts& counts);
    void resetDrag();

    // Guarded runs of this chart under way.
    int ownRuns = 0;

    // Column of the time attribute the last build read (-1 none).
    int buildTimeColumn = -1;
    std::vector<bool> selectedSlotCache;
    bool selectedSlotsValid = false;
    // The cached span of the time attribute.
    Context* spanContext = nullptr;
    QString spanAttribute;
    int spanEvents = -1;
    double spanMin = 0.0;
    double spanMax = 0.0;
    // The time axis geometry for which its ticks were worked out.
    const AxisPer* tickAxis = nullptr;
    double tickWidth = -1.0;
};
