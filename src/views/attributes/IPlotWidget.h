#pragma once

#include "core/TList.h"
#include "items/ImgWidget.h"

#include <QBrush>
#include <QPen>
#include <QSet>
#include <QSharedPointer>

class Axis;
class BinItem;
class BinSerie;
class Context;
class IAxis;
class Packet;
class QPainter;

// Base of the image-backed plots that draw series of bars over an X axis
// and a frequency axis. The plot owns its series (and their bars) and both
// axes; everything runs on the GUI thread, guarded only by the image mutex.
class IPlotWidget : public ImgWidget
{
    Q_OBJECT

public:
    IPlotWidget(ControlWidget* control, QWidget* parent);
    ~IPlotWidget() override;

    // The number of bars of a serie; 20 here.
    virtual int binCount() const;
    // Places the bars of every serie along the axes.
    virtual void layoutPlot() = 0;
    virtual void drawSerie(BinSerie* serie, QPainter* painter, QPen pen, QBrush brush) = 0;
    // The whole recomputation over a context.
    virtual void refreshData(Context* context, bool clearSets, bool relayout) = 0;
    QRectF dataRect() override;

    bool render(bool renderOverlay, bool update, QImage* target) override;
    bool renderOverlay() override;
    // The base's new images, then the axes along the left and bottom edges
    // (placeAxes) and a new layout.
    void setSize(int w, int h) override;
    // Puts both axes along the edges of a plot of this size: the X axis
    // above a band of axisSpace, the Y axis right of a band of leftSpace().
    void placeAxes(int width, int height);
    // The band left of the plot: axisSpace, or wider when the Y axis's
    // widest label needs more room to be shown whole.
    int leftSpace() const;

    // Deletes every serie with its bars.
    void clearSeries();

    static const QColor BAR_COLOR;
    static const QColor HIGHLIGHT_COLOR;
    static const QColor PICK_COLOR;

    int axisSpace = 40;
    QSet<QSharedPointer<Packet>> highlightedPackets;
    QSet<QSharedPointer<Packet>> pickedPackets;
    TList<BinItem*> hoveredBins;
    TList<BinItem*> pickedBins;
    TList<BinSerie*> series;        // owned
    IAxis* xAxis = nullptr;         // owned
    Axis* yAxis = nullptr;          // owned
    Context* context = nullptr;     // not owned
};
