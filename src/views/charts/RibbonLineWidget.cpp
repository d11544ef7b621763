#include "views/charts/RibbonLineWidget.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "views/charts/ChartOptionsWidget.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QPushButton>

#include <memory>
#include <new>

RibbonLineWidget::RibbonLineWidget(ControlWidget* owner, EventWidget* eventView, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
    , options(eventView ? eventView->options : nullptr)
{
    // Without a Qt parent: the event ribbon's layout adopts them.
    chart = new LineChart(owner, eventView, nullptr);
    miniView = new LineChartMiniView(owner, eventView, chart, nullptr);
    chartGuard = chart;
    miniViewGuard = miniView;
    miniView->setMinimumHeight(50);
    chart->setMinimumHeight(200);
    chart->miniView = miniView;

    gearButton = new QPushButton(QIcon(QStringLiteral(":/Resources/gear.png")), QString(), this);
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, spacer->sizePolicy().verticalPolicy());
    spacer->setMaximumHeight(25);
    connect(gearButton, &QPushButton::clicked, this, &RibbonLineWidget::showOptions);

    buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(5);
    buttonRow->addWidget(gearButton);
    buttonRow->addWidget(spacer);
    auto* grid = new QGridLayout(this);
    grid->setSpacing(0);
    grid->setContentsMargins(0, 0, 0, 0);
    // Nothing of its own to show: unless a layout sizes it, it covers no
    // part of its parent.
    resize(0, 0);
}

RibbonLineWidget::~RibbonLineWidget()
{
    // A row that no holder took is still this ribbon's to free.
    if (buttonRow && !buttonRow->parent())
        delete buttonRow;
    if (miniViewGuard && !miniViewGuard->parent())
        delete miniViewGuard.data();
    if (chartGuard && !chartGuard->parent())
        delete chartGuard.data();
}

bool RibbonLineWidget::isActive() const
{
    return chart->isActive();
}

void RibbonLineWidget::setActive(bool active, bool rebuild)
{
    if (active == chart->isActive())
        return;
    // One switch: running out of memory in both charts is told once.
    LineChart::OneMessage one;
    chart->setActive(active, rebuild);
    miniView->setActive(active, rebuild);
    setVisible(active);
}

void RibbonLineWidget::showOptions()
{
    // Making the dialog has its own message; the rest ends here too.
    HandlerGuard::run([&] { openOptions(); });
}

void RibbonLineWidget::openOptions()
{
    MainWindow* window = owner ? owner->mainWindow : nullptr;
    EventWidget* leftMatrix = chart->eventView;
    EventWidget* rightMatrix = nullptr;
    LineChart* leftChart = chart;
    LineChart* rightChart = nullptr;
    if (window) {
        if (window->leftEventRibbon)
            leftMatrix = window->leftEventRibbon->view;
        if (window->rightEventRibbon)
            rightMatrix = window->rightEventRibbon->view;
        if (window->leftLineRibbon)
            leftChart = window->leftLineRibbon->chart;
        if (window->rightLineRibbon)
            rightChart = window->rightLineRibbon->chart;
    }
    QPointer<ChartOptionsWidget> dialog;
    try {
        std::unique_ptr<ChartOptionsWidget> made(
            new ChartOptionsWidget(owner, options, leftMatrix, rightMatrix, leftChart, rightChart, this));
        dialog = made.get();
        made.release();
    } catch (const std::bad_alloc&) {
        // The dialog gave back what it borrowed and went.
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to open the chart options"),
                             QStringLiteral("The chart options ran out of memory while they were made."),
                             QWidget::window());
        return;
    }
    dialog->exec();
    delete dialog.data();
}
