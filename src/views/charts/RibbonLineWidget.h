#pragma once

#include <QPointer>
#include <QWidget>

class ControlWidget;
class EventWidget;
class LineChart;
class LineChartMiniView;
class OptionsWidget;
class QHBoxLayout;
class QPushButton;

// The holder of one side's time charts: it makes the line chart and its mini
// view, links them, offers the gear button that opens the chart options, and
// switches both charts on and off together. It places none of its widgets:
// the same side's event ribbon lays out the charts and the button. Charts
// that were never placed are deleted with the ribbon.
class RibbonLineWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonLineWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent);
    ~RibbonLineWidget() override;

    bool isActive() const;
    void setActive(bool active, bool rebuild);

    LineChart* chart;
    LineChartMiniView* miniView;
    ControlWidget* owner;
    QPushButton* gearButton;
    // The same side's event-matrix options.
    OptionsWidget* options;
    // The gear button and a spacer, for a holder that wants them as a row.
    QHBoxLayout* buttonRow;

public slots:
    // Opens the chart options dialog, modal, and deletes it once it closes.
    void showOptions();

private:
    void openOptions();

    QPointer<LineChart> chartGuard;
    QPointer<LineChartMiniView> miniViewGuard;
};
