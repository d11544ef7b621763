#pragma once

#include "core/TList.h"
#include "items/ImgWidget.h"

#include <QHash>
#include <QSharedPointer>
#include <QString>

#include <memory>
#include <type_traits>

class AxisPer;
class BinItem;
class BinSerie;
class Context;
class Packet;

// The conversations of a context as horizontal bars over a time axis, from
// each conversation's start to its end, stacked in lanes so that a
// conversation inside a longer one lies above it. Hovering a bar shows its
// conversation and number of events; pressing bars toggles their selection
// and publishes the events of the selected conversations as a "select"
// packets event to the owner.
//
// The event matrix opens it for its selection in a modal dialog. What the
// user's actions reach (the selection shown, a resize, the mouse, a render)
// ends here when memory runs out: the chart shows no bars, one message
// names memory, and the next selection or resize builds the bars again.
class GanttWidget : public ImgWidget
{
    Q_OBJECT

public:
    GanttWidget(ControlWidget* owner, QWidget* parent);
    ~GanttWidget() override;

    // Shows `context` (null: no bars), which its caller owns; clearSelection
    // empties the selected conversations; resize lays out and renders at
    // the widget's size.
    void setData(Context* context, bool clearSelection, bool resize);
    // Shows the conversations of the events of a selection, in a context of
    // the chart's own, as setData(context, true, true) would; false when
    // memory ran out (the chart then shows no bars and has said so).
    bool showSelection(const TList<QSharedPointer<Packet>>& events, GlyphStore* store);

    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void setSize(int w, int h) override;
    QRectF dataRect() override;
    QSize sizeHint() const override;

    void resizeEvent(QResizeEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;

    // The lane of every conversation record: longest conversations first, a
    // record goes to the first lane whose first interval does not contain
    // it, or opens a new lane. Keyed by the record.
    static QHash<const Packet*, int> assignLanes(const TList<QSharedPointer<Packet>>& records,
                                                 int fromColumn, int toColumn);
    // Bin width in whole seconds for a time span: the span in milliseconds
    // divided by 40, rounded up to one significant digit, at least 1 s.
    static double binStep(double span);

    Context* context = nullptr;
    // Conversation records of the selected bars.
    QHash<QSharedPointer<Packet>, bool> selection;
    TList<BinItem*> hoveredBars;
    TList<BinItem*> selectedBars;
    AxisPer* axis = nullptr;
    BinSerie* rows = nullptr;
    double margin = 60.0;
    QString timeAttribute;

public slots:
    void moveTimeOut();

private:
    // Runs `work`, what an action of the user does in the chart, so that
    // running out of memory ends here (inside another such run it goes on
    // to that one): the bars go, one message ends "ran out of memory while
    // `action`", and false is returned.
    template <typename Work>
    bool guarded(const char* action, Work&& work)
    {
        using Run = std::remove_reference_t<Work>;
        return runGuarded(action, [](void* w) { (*static_cast<Run*>(w))(); }, &work);
    }
    bool runGuarded(const char* action, void (*run)(void*), void* work);
    // Frees the bars, the lanes and the selection and blanks the images.
    void dropBars() noexcept;
    bool draw(bool overlay, bool update, QImage* target);
    void hover(QMouseEvent* e);
    void press(QMouseEvent* e);
    void rebuild();
    void layout();
    // The first bar (narrowest first) containing the point, or null.
    BinItem* barAt(int x, int y) const;
    void updateSelection(const TList<BinItem*>& added, const TList<BinItem*>& removed,
                         bool additive);
    GlyphStore* store() const;

    QHash<const Packet*, int> lanes;
    // The context of the selection shown by showSelection.
    std::unique_ptr<Context> ownContext;
    int runs = 0;
    // A failure left the chart without bars.
    bool barsDropped = false;
};
