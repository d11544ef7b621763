#include "views/attributes/IPlotWidget.h"

#include "items/Axis.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "items/IAxis.h"

#include <QPainter>

#include <algorithm>

const QColor IPlotWidget::BAR_COLOR(177, 189, 197, 255);
const QColor IPlotWidget::HIGHLIGHT_COLOR(255, 128, 0, 150);
const QColor IPlotWidget::PICK_COLOR(0, 0, 255, 150);

namespace {

// Free pixels beside the widest label of the Y axis.
const int LABEL_MARGIN = 4;

} // namespace

IPlotWidget::IPlotWidget(ControlWidget* control, QWidget* parent)
    : ImgWidget(control, parent)
{
    background = QColor(255, 255, 255, 255);
}

IPlotWidget::~IPlotWidget()
{
    clearSeries();
    delete xAxis;
    delete yAxis;
}

void IPlotWidget::clearSeries()
{
    for (BinSerie* serie : series.items)
        delete serie;
    series.clear();
}

int IPlotWidget::binCount() const
{
    return 20;
}

QRectF IPlotWidget::dataRect()
{
    return QRectF(0, 0, width(), height());
}

bool IPlotWidget::render(bool renderOverlay, bool update, QImage* target)
{
    QImage* img = target ? target : &image;
    RenderGuard guard(this, img, renderOverlay, update);
    if (!guard)
        return false;
    img->fill(background);
    QPainter painter(img);
    QPen pen;
    QBrush brush;
    if (xAxis && yAxis) {
        xAxis->paint(&painter, brush, pen);
        yAxis->paint(&painter, brush, pen);
    }
    for (BinSerie* serie : series.items)
        drawSerie(serie, &painter, pen, brush);
    painter.end();
    guard.release();
    if (renderOverlay)
        this->renderOverlay();
    if (update)
        this->update();
    return true;
}

bool IPlotWidget::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    guard.release();
    update();
    return true;
}

int IPlotWidget::leftSpace() const
{
    if (!yAxis)
        return axisSpace;
    // A vertical axis draws its labels right-aligned in a box as wide as its
    // band less one line height, and wraps (cuts) what does not fit.
    // (Its labels are read in place: a new layout allocates nothing.)
    int widest = 0;
    for (const QString& label : yAxis->labelList.items)
        widest = std::max(widest, yAxis->fontMetrics.horizontalAdvance(label));
    return std::max(axisSpace, widest + yAxis->fontMetrics.height() + LABEL_MARGIN);
}

void IPlotWidget::placeAxes(int width, int height)
{
    if (!xAxis || !yAxis)
        return;
    const int left = leftSpace();
    xAxis->x = left;
    xAxis->y = height - axisSpace;
    xAxis->setSize(width - 5 - left, axisSpace);
    yAxis->x = left;
    yAxis->y = height - axisSpace;
    yAxis->setSize(height - 5 - axisSpace, left);
}

void IPlotWidget::setSize(int w, int h)
{
    ImgWidget::setSize(w, h);
    const int width = w == -1 ? this->width() : w;
    const int height = h == -1 ? this->height() : h;
    if (xAxis && yAxis) {
        placeAxes(width, height);
        layoutPlot();
    }
    render(true, true, nullptr);
}
