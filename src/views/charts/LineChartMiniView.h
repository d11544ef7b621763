#pragma once

#include "views/charts/LineChart.h"

#include <QPointer>

class QTimer;

// A low strip under a line chart that always shows the whole time span of
// the context with a shaded window over the part the chart shows. Dragging
// the window or turning the wheel over the strip moves or resizes it, and
// the strip tells its chart the window as fractions of the span; a wheel
// zoom in the chart moves the strip's window. It builds its own series over
// the full span, gets the chart's option calls passed on, and has no hover
// and no selection of its own: it shows the selection that reaches it.
class LineChartMiniView : public LineChart
{
    Q_OBJECT

public:
    LineChartMiniView(ControlWidget* owner, EventWidget* eventView, LineChart* chart,
                      QWidget* parent);

    // A new context leaves the window's fractions as they were; a window
    // other than the whole span goes to the chart again.
    void setContext(Context* context, bool clearSelection, bool render) override;

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

    // Rounds the window to two decimals (halves up), snaps it to the edges
    // below 0.01 and above 0.99, and keeps it at least MIN_WIDTH wide.
    void normaliseWindow();
    // Left edge and width in pixels of the drawn window.
    int windowX() const;
    int windowWidth() const;

    // The window as fractions of the full time span.
    double from = 0.0;
    double to = 1.0;
    QPointer<LineChart> chart;
    QTimer* lineTimer;
    double maxZoom = 10.0;
    double minZoom = 0.0;
    // The window last sent to the chart.
    double sentFrom = 0.0;
    double sentTo = 1.0;

    // The narrowest window, as a fraction of the span.
    static constexpr double MIN_WIDTH = 0.01;
    static constexpr int TIMER_INTERVAL = 50;
    // The narrowest window drawn, in pixels.
    static constexpr int MIN_PIXELS = 10;

public slots:
    // Sends the window to the chart when it changed since the last send;
    // stops once nothing changed during a tick and no drag is on.
    void lineTimeOut();

protected:
    bool event(QEvent* e) override;
    void layoutItems() override;

private:
    bool drawStrip(bool overlay, bool update, QImage* target);
};
