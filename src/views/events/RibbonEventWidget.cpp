#include "views/events/RibbonEventWidget.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "app/HeaderWidget.h"
#include "app/MainWindow.h"
#include "app/TMenu.h"
#include "core/HandlerGuard.h"
#include "events/ReloadEvent.h"
#include "items/BinItem.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QSlider>
#include <QSplitter>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace {

constexpr int HEADER_HEIGHT = 30;
constexpr int ROW_SPACING = 5;
constexpr int ROW_HEIGHT = 25;
constexpr int GROUP_BUTTON_WIDTH = 40;
// The overview strip takes this share of the ribbon's width.
constexpr double OVERVIEW_SHARE = 0.15;
constexpr int SIZE_PANEL_EXTRA = 5;

// A widget that takes the free room of a row.
QWidget* spacer()
{
    auto* widget = new QWidget;
    widget->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::Preferred);
    widget->setMaximumHeight(ROW_HEIGHT);
    return widget;
}

RibbonSequenceWidget* sequenceRibbonOf(ControlWidget* control)
{
    MainWindow* window = control ? control->mainWindow : nullptr;
    return window ? window->sequenceRibbon : nullptr;
}

} // namespace

RibbonEventWidget::RibbonEventWidget(ControlWidget* control, OptionsWidget* options, int side,
                                     QWidget* parent)
    : QWidget(parent)
    , options(options)
    , control(control)
    , side(side)
{
    // 1.-2.
    lineRibbon = nullptr;
    view = new EventWidget(control, options, side, this);

    // 3.
    binScrollBar = new QScrollBar(Qt::Vertical, this);
    connectScrollBar();
    binScrollBar->setRange(0, 100);
    binScrollBar->setPageStep(100);

    // 4.
    sequenceViewButton = new QPushButton(QStringLiteral("SequenceView"), this);
    sequenceViewButton->setCheckable(true);
    RibbonSequenceWidget* sequenceRibbon = sequenceRibbonOf(control);
    sequenceViewButton->setChecked(sequenceRibbon && sequenceRibbon->active);
    sequenceViewButton->setVisible(!SPLIT_FLAG);
    if (sequenceRibbon)
        connect(sequenceViewButton, &QPushButton::toggled, sequenceRibbon,
                QOverload<bool>::of(&RibbonSequenceWidget::setActive));

    // 5.
    refreshButton = new QToolButton(this);
    refreshButton->setIcon(QIcon(QStringLiteral(":/Resources/refresh.png")));
    refreshButton->setToolTip(QStringLiteral("&Refresh Sort, Group, and Glyph size settings"));
    refreshButton->setStatusTip(QStringLiteral("Refresh Sort, Group, and Glyph Size settings"));
    connect(refreshButton, &QToolButton::clicked, view, &EventWidget::refresh);

    // 6.
    eventMenu = new TMenu;
    eventMenu->setTitle(QStringLiteral("Event attributes"));
    sequentialMenu = new TMenu;
    sequentialMenu->setTitle(QStringLiteral("Sequential attributes"));
    groupButton = new QToolButton(this);
    groupButton->setIcon(QIcon(QStringLiteral(":/Resources/groupby.png")));
    groupButton->setToolTip(QStringLiteral("&Group settings"));
    groupButton->setStatusTip(QStringLiteral("Group settings"));
    groupButton->setMinimumWidth(GROUP_BUTTON_WIDTH);

    // 7. The menus hold the options' attribute boxes (their actions own them).
    auto* sequentialAction = new QWidgetAction(sequentialMenu);
    if (options)
        sequentialAction->setDefaultWidget(options->sequentialAxisBox);
    sequentialMenu->addAction(sequentialAction);
    groupMenu = new TMenu;
    groupMenu->addMenu(sequentialMenu);
    groupButton->setPopupMode(QToolButton::InstantPopup);
    groupButton->setMenu(groupMenu);
    auto* eventAction = new QWidgetAction(eventMenu);
    if (options)
        eventAction->setDefaultWidget(options->eventAxisBox);
    eventMenu->addAction(eventAction);
    groupMenu->addMenu(eventMenu);

    // 8.
    header = new HeaderWidget(view, this);
    header->setFixedHeight(HEADER_HEIGHT);
    sizePanel = new QWidget;
    topBar = new QWidget;
}

RibbonEventWidget::~RibbonEventWidget()
{
    // The menus have no parent; the widgets made for the layout have none
    // until the first load places them.
    delete groupMenu;
    delete sequentialMenu;
    delete eventMenu;
    if (!sizePanel->parent())
        delete sizePanel;
    if (!topBar->parent())
        delete topBar;
}

void RibbonEventWidget::buildControls()
{
    if (NO_DATA && !built) {
        built = true;

        // 1. Bottom row.
        auto* bottomRow = new QHBoxLayout;
        bottomRow->setSpacing(ROW_SPACING);
        if (options) {
            bottomRow->addWidget(options->multiMatchBox);
            bottomRow->addWidget(options->showLabelsBox);
            bottomRow->addWidget(options->showPopupsBox);
            connect(options->multiMatchBox, &QCheckBox::clicked, this, &RibbonEventWidget::setMulti,
                    Qt::UniqueConnection);
            connect(options->showLabelsBox, &QCheckBox::clicked, this, &RibbonEventWidget::showLabels,
                    Qt::UniqueConnection);
            connect(options->showPopupsBox, &QCheckBox::clicked, this, &RibbonEventWidget::showPopups,
                    Qt::UniqueConnection);
        }
        bottomRow->addWidget(spacer());
        sequenceViewButton->setMaximumHeight(ROW_HEIGHT);
        bottomRow->addWidget(sequenceViewButton);

        // 2. Option row.
        auto* optionRow = new QHBoxLayout;
        optionRow->setSpacing(ROW_SPACING);
        optionRow->addWidget(new QLabel(QStringLiteral("Group:")));
        optionRow->addWidget(groupButton);
        if (options) {
            optionRow->addWidget(options->groupOrderBox);
            optionRow->addWidget(options->groupDirectionBox);
        }
        optionRow->addWidget(new QLabel(QStringLiteral("Sort:")));
        if (options) {
            optionRow->addWidget(options->sortBox);
            optionRow->addWidget(options->sortDirectionBox);
        }
        optionRow->addWidget(refreshButton);
        if (options)
            optionRow->addWidget(options->stackBox);
        optionRow->addWidget(new QLabel(QStringLiteral("Glyph size:")));
        if (options)
            optionRow->addWidget(options->glyphSizeAxisBox);
        optionRow->addWidget(spacer());
        if (lineRibbon && lineRibbon->gearButton)
            optionRow->addWidget(lineRibbon->gearButton);

        // 3. Matrix holder: the matrix, the overview strip, the scroll bar.
        auto* matrixHolder = new QWidget;
        auto* matrixBox = new QHBoxLayout(matrixHolder);
        matrixBox->setContentsMargins(0, 0, 0, 0);
        matrixBox->setSpacing(1);
        matrixBox->addWidget(view);
        if (overviewRibbon)
            matrixBox->addWidget(overviewRibbon->overview);
        matrixBox->addWidget(binScrollBar);

        // 4. Chart holder.
        auto* chartHolder = new QWidget;
        auto* chartBox = new QVBoxLayout(chartHolder);
        chartBox->setContentsMargins(0, 0, 0, 0);
        chartBox->setSpacing(0);
        if (lineRibbon) {
            chartBox->addWidget(lineRibbon->miniView);
            chartBox->addWidget(lineRibbon->chart);
        }

        // 5.
        auto* splitter = new QSplitter(Qt::Vertical);
        splitter->addWidget(matrixHolder);
        splitter->addWidget(chartHolder);

        // 6.
        auto* sizeBox = new QHBoxLayout(sizePanel);
        if (overviewRibbon)
            sizeBox->addWidget(overviewRibbon->sizeSlider);

        // 7. The bar does not hold the ribbon at its own width: the size
        // panel takes a share of the ribbon's width, and a narrower window
        // may cut off the bar's end instead of keeping the ribbon wide.
        auto* topBox = new QHBoxLayout(topBar);
        topBox->setContentsMargins(ROW_SPACING, ROW_SPACING, ROW_SPACING, ROW_SPACING);
        topBox->setSpacing(0);
        topBox->setSizeConstraint(QLayout::SetNoConstraint);
        topBar->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        topBox->addLayout(optionRow);
        topBox->addWidget(sizePanel);

        // 8.
        auto* ribbonBox = new QVBoxLayout(this);
        ribbonBox->setContentsMargins(0, 0, 0, 0);
        ribbonBox->setSpacing(0);
        ribbonBox->addWidget(topBar);
        ribbonBox->addWidget(header);
        ribbonBox->addWidget(splitter);
        ribbonBox->addLayout(bottomRow);
    }
    view->reset();
}

void RibbonEventWidget::setContext(Context* context)
{
    view->setContext(context);
}

void RibbonEventWidget::setActive(bool active, bool reload)
{
    if (view->isActive() != active)
        view->setActive(active, reload);
    if (NO_DATA && active)
        return;
    setVisible(active);
    if (!options)
        return;
    for (QWidget* box : {static_cast<QWidget*>(options->multiMatchBox),
                             static_cast<QWidget*>(options->showLabelsBox),
                             static_cast<QWidget*>(options->showPopupsBox),
                             static_cast<QWidget*>(options->stackBox),
                             static_cast<QWidget*>(options->groupOrderBox),
                             static_cast<QWidget*>(options->groupDirectionBox),
                             static_cast<QWidget*>(options->sortBox),
                             static_cast<QWidget*>(options->sortDirectionBox),
                             static_cast<QWidget*>(options->glyphSizeAxisBox)})
        box->setVisible(active);
}

void RibbonEventWidget::connectScrollBar()
{
    connect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
}

void RibbonEventWidget::disconnectScrollBar()
{
    disconnect(binScrollBar, &QScrollBar::valueChanged, this, &RibbonEventWidget::setVBinOffset);
}

void RibbonEventWidget::setMaximum(int maximum)
{
    disconnectScrollBar();
    const bool blocked = binScrollBar->blockSignals(true);
    binScrollBar->setMaximum(maximum);
    binScrollBar->blockSignals(blocked);
    connectScrollBar();
}

void RibbonEventWidget::setPageStep(int step)
{
    disconnectScrollBar();
    const bool blocked = binScrollBar->blockSignals(true);
    binScrollBar->setPageStep(step);
    binScrollBar->blockSignals(blocked);
    connectScrollBar();
}

// The slots below end their own running out of memory. The matrix keeps
// its data whatever part of a scroll or redraw is left undone; the next one
// lays out and draws it all again.

void RibbonEventWidget::setVBinOffset(int value)
{
    HandlerGuard::run([this, value] { view->setBinOffset(value); });
}

void RibbonEventWidget::setMulti()
{
    bool flipped = false;
    HandlerGuard::run([&] {
        // An overview pass draws with the flag: end it before the flag changes.
        EventOverviewWidget::cancelPassesOver(view);
        ReloadEvent reload(this, {});
        // From here the matrix's reload says itself when it runs out of
        // memory: the flag and the cells built with it do not part.
        showMulti = !showMulti;
        flipped = true;
        QCoreApplication::sendEvent(view, &reload);
    });
    if (!flipped && options) {
        // The click did not get through: the box shows the flag again.
        HandlerGuard::run([this] {
            const QSignalBlocker quiet(options->multiMatchBox);
            options->multiMatchBox->setChecked(!options->multiMatchBox->isChecked());
        });
    }
}

void RibbonEventWidget::showLabels(bool on)
{
    HandlerGuard::run([this, on] { view->showLabels(on); });
}

void RibbonEventWidget::showPopups(bool on)
{
    HandlerGuard::run([this, on] { view->showPopups(on); });
}

void RibbonEventWidget::fillBackground(bool)
{
    // The ribbon fills its own background as well, in the same palette:
    // before the first load there is no top bar on screen.
    setAutoFillBackground(true);
    topBar->setPalette(palette());
    topBar->setAutoFillBackground(true);
}

QSize RibbonEventWidget::sizeHint() const
{
    return QSize(2000, 800);
}

void RibbonEventWidget::resizeEvent(QResizeEvent* event)
{
    HandlerGuard::run([&] {
        QWidget::resizeEvent(event);
        const int share = int(OVERVIEW_SHARE * width());
        if (overviewRibbon && overviewRibbon->overview)
            overviewRibbon->overview->setMinimumWidth(share);
        sizePanel->setFixedWidth(share + binScrollBar->width() + SIZE_PANEL_EXTRA);
    });
}
