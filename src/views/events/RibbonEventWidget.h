#pragma once

#include <QWidget>

class ControlWidget;
class Context;
class EventWidget;
class HeaderWidget;
class OptionsWidget;
class QPushButton;
class QScrollBar;
class QToolButton;
class RibbonEventOverviewWidget;
class RibbonLineWidget;
class TMenu;

// The frame of one event matrix: it creates the matrix (EventWidget) with
// its vertical bin scroll bar and header, and on the first data load lays
// out around it the option controls of its OptionsWidget, the overview
// strip of its group beside the matrix and the line charts of its group
// below it (in a splitter).
//
// Before that first load only the constructor's widgets exist, unplaced.
// The main window stores the group's overview and line ribbons after it has
// created them: both stay null until then.
class RibbonEventWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonEventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent);
    ~RibbonEventWidget() override;

    // Lays out the rows of controls while no data has been loaded (once),
    // then resets the view's axes to "none".
    void buildControls();
    void setContext(Context* context);
    void setActive(bool active, bool reload);
    // The top bar takes the ribbon's palette; the same for either value.
    void fillBackground(bool focused);
    // Change the scroll bar without telling the view.
    void setMaximum(int maximum);
    void setPageStep(int step);
    QSize sizeHint() const override;

    QScrollBar* binScrollBar;
    EventWidget* view;
    OptionsWidget* options;
    ControlWidget* control;
    RibbonEventOverviewWidget* overviewRibbon = nullptr;
    RibbonLineWidget* lineRibbon = nullptr;
    HeaderWidget* header;
    int side;
    QToolButton* refreshButton;
    QToolButton* groupButton;
    TMenu* sequentialMenu;
    TMenu* eventMenu;
    TMenu* groupMenu;
    QWidget* sizePanel;
    QWidget* topBar;
    QPushButton* sequenceViewButton;

public slots:
    // The scroll bar's value is the view's first visible line.
    void setVBinOffset(int value);
    // Flips the process-wide multi-match flag and has the view reload.
    void setMulti();
    void showLabels(bool on);
    void showPopups(bool on);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void connectScrollBar();
    void disconnectScrollBar();
    // Whether the rows of controls have been laid out.
    bool built = false;
};
