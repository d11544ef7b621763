#include "views/sequences/RibbonSequenceWidget.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "core/HandlerGuard.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/SequenceAlignment.h"
#include "views/sequences/SequenceWidget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

RibbonSequenceWidget::RibbonSequenceWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
    sequenceView = new SequenceWidget(owner, this);

    alignmentButton = new QPushButton(QStringLiteral("Multiple Sequence Alignment"));
    alignmentButton->setCheckable(true);
    alignmentButton->setChecked(false);
    alignmentButton->setMaximumHeight(25);

    fitButton = new QPushButton;
    fitButton->setIcon(QIcon(QStringLiteral(":/Resources/fit.png")));

    mergeButton = new QPushButton;
    mergeButton->setIcon(QIcon(QStringLiteral(":/Resources/merge.png")));
    mergeButton->setCheckable(true);
    mergeButton->setChecked(true);

    scrollArea = new QScrollArea;
    scrollArea->setWidget(sequenceView);
    scrollArea->setWidgetResizable(true);
    scrollArea->setFrameShape(QFrame::NoFrame);
    scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->horizontalScrollBar()->setMaximumHeight(20);

    linesBox = new QCheckBox(QStringLiteral("Draw lines"));
    linesBox->hide();

    sizeTimer = new QTimer(this);
    sizeTimer->setInterval(300);
    sizeSlider = new QSlider(Qt::Horizontal);
    sizeSlider->setRange(5, 100);
    sizeSlider->setValue(int(sequenceView->itemWidth));

    secondTimer = new QTimer(this);
    secondTimer->setInterval(300);
    secondSlider = new QSlider(Qt::Horizontal);
    secondSlider->setRange(5, 100);
    secondSlider->setValue(30);
    secondSlider->hide();

    gapPenaltyBox = new QSpinBox;
    gapPenaltyBox->setRange(0, 99);
    gapPenaltyBox->setValue(-insertionCost);
    substitutionPenaltyBox = new QSpinBox;
    substitutionPenaltyBox->setRange(0, 99);
    substitutionPenaltyBox->setValue(-substitutionCost);

    auto* penalties = new QHBoxLayout;
    penalties->setSpacing(0);
    penalties->setContentsMargins(0, 0, 0, 0);
    penalties->addWidget(new QLabel(QStringLiteral("gap penalty:")));
    penalties->addWidget(gapPenaltyBox);
    penalties->addWidget(new QLabel(QStringLiteral("substitute penalty:")));
    penalties->addWidget(substitutionPenaltyBox);
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    spacer->setMaximumHeight(25);
    penalties->addWidget(spacer);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(0);
    controls->setContentsMargins(0, 0, 0, 0);
    controls->addWidget(alignmentButton);
    controls->addWidget(sizeSlider);
    controls->addWidget(secondSlider);
    controls->addWidget(fitButton);
    controls->addWidget(mergeButton);
    controls->addWidget(linesBox);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(penalties);
    layout->addWidget(scrollArea);
    layout->addLayout(controls);

    connect(linesBox, &QCheckBox::clicked, sequenceView, &SequenceWidget::setDrawLines);
    connect(alignmentButton, &QPushButton::toggled, this, &RibbonSequenceWidget::setMSA);
    connect(fitButton, &QPushButton::clicked, this, &RibbonSequenceWidget::setFit);
    connect(mergeButton, &QPushButton::clicked, sequenceView, &SequenceWidget::setMergeMode);
    connect(sizeSlider, &QSlider::valueChanged, this, &RibbonSequenceWidget::setSizeTimer);
    connect(secondSlider, &QSlider::valueChanged, this, &RibbonSequenceWidget::setSizeTimer2);
    connect(sizeTimer, &QTimer::timeout, this, &RibbonSequenceWidget::setItemSize);
    connect(secondTimer, &QTimer::timeout, this, &RibbonSequenceWidget::setVItemSize);
    connect(gapPenaltyBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &RibbonSequenceWidget::setInsertionCost);
    connect(substitutionPenaltyBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &RibbonSequenceWidget::setSubstitutionCost);
    // The selection the pane was copying is gone (the matrix rebuilt its
    // glyphs): the pane shows the matrix's selection as it is now. Queued:
    // the view may tell it from within a rebuild, which would drop the new
    // copy.
    connect(
        sequenceView, &SequenceWidget::sequencesGone, this,
        [this]() {
            if (!active)
                return;
            MainWindow* window = this->owner ? this->owner->mainWindow : nullptr;
            RibbonEventWidget* ribbon = window ? window->leftEventRibbon : nullptr;
            EventWidget* view = ribbon ? ribbon->view : nullptr;
            // The view ends its own running out of memory.
            if (view)
                sequenceView->showSequences(view->selectedSequences);
        },
        Qt::QueuedConnection);
    // An alignment that could not be completed switched itself off; the
    // switch follows without rebuilding again.
    connect(sequenceView, &SequenceWidget::alignmentDropped, this, [this]() {
        alignment = false;
        HandlerGuard::run([this] {
            const QSignalBlocker blocker(alignmentButton);
            alignmentButton->setChecked(false);
        });
    });
}

void RibbonSequenceWidget::setContext(Context*)
{
}

// The view's rebuilds and layouts end their own running out of memory (its
// message, the view emptied); what the ribbon's handlers do around them
// runs guarded.

void RibbonSequenceWidget::setInsertionCost(int penalty)
{
    insertionCost = -penalty;
    sequenceView->recompute();
}

void RibbonSequenceWidget::setSubstitutionCost(int penalty)
{
    substitutionCost = -penalty;
    sequenceView->recompute();
}

void RibbonSequenceWidget::setMSA(bool on)
{
    alignment = on;
    sequenceView->setMSA(on);
}

void RibbonSequenceWidget::setSizeTimer(int)
{
    HandlerGuard::run([this] {
        sizeTimer->stop();
        sizeTimer->start();
    });
}

void RibbonSequenceWidget::setSizeTimer2(int)
{
    HandlerGuard::run([this] {
        secondTimer->stop();
        secondTimer->start();
    });
}

void RibbonSequenceWidget::setItemSize()
{
    sizeTimer->stop();
    sequenceView->setItemSize(sizeSlider->value());
}

void RibbonSequenceWidget::setVItemSize()
{
    secondTimer->stop();
    sequenceView->setVItemSize(secondSlider->value());
}

void RibbonSequenceWidget::setFit()
{
    HandlerGuard::run([this] { fit(); });
}

void RibbonSequenceWidget::fit()
{
    int longest = 0;
    for (const TList<BinItem*>& row : sequenceView->rows.items)
        longest = std::max(longest, row.size());
    const int L = std::max(longest, 1);
    const double v = double(sequenceView->width() - 2 * sequenceView->topOffset
                            - L * sequenceView->columnGap)
                     / L;
    int size;
    if (v <= 30)
        size = 30;
    else if (v > 100)
        size = 100;
    else
        size = int(v);
    sizeSlider->blockSignals(true);
    sizeSlider->setValue(size);
    sizeSlider->blockSignals(false);
    sequenceView->setItemSize(size);
}

QPushButton* RibbonSequenceWidget::sequenceViewButton() const
{
    MainWindow* window = owner ? owner->mainWindow : nullptr;
    RibbonEventWidget* ribbon = window ? window->leftEventRibbon : nullptr;
    if (!ribbon)
        return nullptr;
    const QList<QPushButton*> buttons = ribbon->findChildren<QPushButton*>();
    for (QPushButton* button : buttons) {
        if (button->text() == QLatin1String("SequenceView"))
            return button;
    }
    return nullptr;
}

void RibbonSequenceWidget::setActive(bool on, bool show)
{
    const bool previous = active;
    // Found before anything changes: out of memory, the ribbon stays as
    // it was.
    QPushButton* button = sequenceViewButton();
    // The flag first: the button's toggled signal comes back here.
    active = on;
    if (button)
        button->setChecked(on);
    if (previous && !on) {
        sequenceView->buildSequences(TList<TList<BinItem*>>());
    } else if (!previous && on) {
        MainWindow* window = owner ? owner->mainWindow : nullptr;
        RibbonEventWidget* ribbon = window ? window->leftEventRibbon : nullptr;
        EventWidget* view = ribbon ? ribbon->view : nullptr;
        // The selection becomes the view's own: the alignment switch and
        // the penalties rebuild from it, as from a selection sent while the
        // pane was open.
        sequenceView->showSequences(view ? view->selectedSequences : TList<TList<BinItem*>>());
    }
    if (show)
        setVisible(on);
}

void RibbonSequenceWidget::setActive(bool on)
{
    HandlerGuard::run([&] { setActive(on, true); });
}

void RibbonSequenceWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
}
