#pragma once

#include <QWidget>

class MatchIcon;

// The clickable holder of a MatchIcon: a click flips the icon's flag and
// emits clicked(); the icon is outlined while the mouse is inside.
class IconToggleWidget : public QWidget
{
    Q_OBJECT

public:
    // The sizes are truncated to whole pixels. The icon is not owned.
    IconToggleWidget(double width, double height, MatchIcon* icon, QWidget* parent = nullptr);

    MatchIcon* icon;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
