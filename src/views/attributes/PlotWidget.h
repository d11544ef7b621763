#pragma once

#include "views/attributes/IPlotWidget.h"

#include <QString>

#include <memory>

class TVariant;

// The bar histogram of one event attribute of a context, shown in the
// histogram dialog: one serie of wide, spaced bars over a value axis and a
// count axis. A hovered bar is outlined orange and, after the hover timer's
// pause, reported by hoveredItem; a click picks a bar (outlined blue)
// without telling the other views.
class PlotWidget : public IPlotWidget
{
    Q_OBJECT

public:
    PlotWidget(const QString& attribute, ControlWidget* control, QWidget* parent);

    // maxBins before there is an X axis; then the categorical axis's bin
    // count, or 20 for a range axis.
    int binCount() const override;
    void layoutPlot() override;
    void drawSerie(BinSerie* serie, QPainter* painter, QPen pen, QBrush brush) override;
    void refreshData(Context* context, bool clearSets, bool relayout) override;
    QSize sizeHint() const override;
    // The value a bar is labelled with (its label shows a long value
    // shortened); none for a bar without events.
    TVariant barValue(const BinItem* bar) const;

    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;

    QString attribute;
    bool logarithmic = false;
    int maxBins = 15;

signals:
    // The first hovered bar after a pause of the mouse, or null.
    void hoveredItem(BinItem* item);

public slots:
    void setLogarithm(bool on);
    void moveTimeOut();

private:
    // The parts of a new plot, made before they replace the old ones: the
    // count axis, the value axis over the context, and the bars counted
    // over it with the picked and highlighted events marked.
    std::unique_ptr<Axis> makeYAxis() const;
    std::unique_ptr<IAxis> makeXAxis(Context* context) const;
    std::unique_ptr<BinSerie> makeBars(Context* context, const IAxis* x, const QSet<QSharedPointer<Packet>>& picked,
                                       const QSet<QSharedPointer<Packet>>& highlighted) const;
    // The mouse handlers' work; out of memory, the handlers leave nothing
    // hovered or picked.
    void hover(QMouseEvent* event);
    void pick(QMouseEvent* event);
    // The attribute's event-side column; -1 (with a debug line) when the
    // store lacks it.
    int column() const;
    // Drops the hovered bars that do not contain the mouse position; true
    // when one was dropped.
    bool dropHovered();
};
