#pragma once

#include <QWidget>

class EventWidget;

// The title strip of an event matrix: a rounded bar, blue while the matrix
// has the focus, with the name of the context it shows.
class HeaderWidget : public QWidget
{
    Q_OBJECT

public:
    HeaderWidget(EventWidget* view, QWidget* parent = nullptr);

    EventWidget* view;   // not owned

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void draw();
};
