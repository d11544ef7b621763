#pragma once

#include <QWidget>

// A coverage bar: a dashed outline filled from the left by `value` (0 to
// 1) in the colour of its mode (0 green, 1 red, 2 blue-grey).
class Bar : public QWidget
{
    Q_OBJECT

public:
    Bar(double value, int mode, QWidget* parent = nullptr);

    double value;
    int mode;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void draw();
};
