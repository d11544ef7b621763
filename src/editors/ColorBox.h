#pragma once

#include <QColor>
#include <QWidget>

class QEvent;
class QMouseEvent;
class QPaintEvent;

// A small colour swatch. Unless it is read-only, a click opens the colour
// dialog ("Select Color") and a chosen colour replaces the shown one.
class ColorBox : public QWidget
{
    Q_OBJECT

public:
    ColorBox(const QColor& color, bool readOnly, QWidget* parent = nullptr);
    explicit ColorBox(const QColor& color, QWidget* parent = nullptr);

    // Shows the colour; emits colorChanged when it differs from the last one.
    void setColor(const QColor& color);
    QColor color() const { return currentColor; }
    bool isReadOnly() const { return readOnly; }

    QSize sizeHint() const override;

    // The colours offered as the colour dialog's custom colours.
    static QColor customColor(int index);
    static constexpr int customColorCount = 16;

signals:
    void colorChanged(QColor color);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool readOnly = false;
    QColor currentColor;
    bool hovered = false;   // the pointer is over the box
    bool pressed = false;   // a press on the box is not released yet
};
