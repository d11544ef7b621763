#pragma once

#include <QWidget>

class ControlWidget;
class EventOverviewWidget;
class EventWidget;
class QSlider;
class QTimer;

// Carries the overview strip of an event matrix with a slider for the size
// of its glyphs. The event ribbon of the same group lays the strip out
// beside the matrix and the slider into its top bar on the first load.
class RibbonEventOverviewWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonEventOverviewWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent);

    bool isActive() const;
    void setActive(bool active, bool reload);
    // Cancels a running pass over the event view's cells and waits for its
    // end; the view calls it before it deletes or rebuilds its cells.
    void cancelAndWait();

    EventOverviewWidget* overview;
    ControlWidget* owner;
    QTimer* sizeTimer;
    QSlider* sizeSlider;

public slots:
    // The size applies 300 ms after the slider last moved.
    void setSizeTimer(int value);
    void setItemSize();
    // The strip follows the matrix through its events: these do nothing.
    void setMaximum(int maximum);
    void setPageStep(int step);
    void setVBinOffset(int value);

protected:
    void resizeEvent(QResizeEvent* event) override;
};
