#pragma once

#include <QIcon>
#include <QWidget>

// A fixed-size widget that shows an icon centred in it.
class IconWidget : public QWidget
{
    Q_OBJECT

public:
    // The sizes are truncated to whole pixels.
    IconWidget(double width, double height, const QIcon& icon, QWidget* parent = nullptr);

    QIcon icon;

protected:
    void paintEvent(QPaintEvent* event) override;
};
