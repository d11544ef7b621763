#pragma once

#include <QWidget>

class GraphicsItem;
class Indicator;
class QTimer;

// The thin two-handle range slider under a histogram: a range [from, to]
// inside 0..1, kept at least `step` wide. Dragging a handle reports the
// range once the pointer has rested for 500 ms (dragMove) and on release
// (dragMove, then dragTimeOut); the histogram sets the range from outside
// with changeFromToValue, which reports nothing.
class DoubleSlider : public QWidget
{
    Q_OBJECT

public:
    explicit DoubleSlider(QWidget* parent = nullptr);
    ~DoubleSlider() override;

    // from := max(0, min(v, to - step)).
    void setFromValue(double v, bool relayout);
    // to := min(1, max(v, from + step)).
    void setToValue(double v, bool relayout);
    // Places the handles and the bar for the current size and range.
    void updateLayout();
    // Moves the grabbed handle(s) to the pointer.
    void dragTo(QMouseEvent* event);

    QSize sizeHint() const override;

    double from = 0.0;
    double to = 1.0;
    Indicator* fromHandle;
    Indicator* toHandle;
    GraphicsItem* bar;
    double minimum = 0.0;
    double maximum = 1.0;
    int margin = 5;
    bool dragging = false;
    double step = 0.01;
    QTimer* moveTimer;

signals:
    // Declared for the histogram's connections; the slider emits neither.
    void fromValueChanged(double value);
    void dragTimeOut(double from, double to);
    void dragMove(double from, double to);
    void toValueChanged(double value);

public slots:
    void changeFromToValue(double from, double to);
    void moveTimeOut();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool hitsFrom(int px, int py) const;
    bool hitsTo(int px, int py) const;
};
