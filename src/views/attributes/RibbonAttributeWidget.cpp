#include "views/attributes/RibbonAttributeWidget.h"

#include "app/ControlWidget.h"
#include "core/HandlerGuard.h"
#include "core/TList.h"
#include "model/GlyphStore.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"

#include <QAction>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

RibbonAttributeWidget::RibbonAttributeWidget(ControlWidget* controlWidget, bool kind,
                                             QWidget* parent)
    : QWidget(parent)
    , controlWidget(controlWidget)
    , kind(kind)
{
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Expanding);
    setMaximumHeight(400);
    panel = kind ? static_cast<AttributeWidget*>(new ConversationWidget(controlWidget, this))
                 : new AttributeWidget(controlWidget, false, this);

    toolBar = new QToolBar(QStringLiteral("Settings"), this);
    sort = QStringLiteral("Default");

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(toolBar);
    layout->addWidget(panel);

    logAction = new QAction(QIcon(QStringLiteral(":/Resources/log.png")),
                            QStringLiteral("&Logarithmic"), this);
    logAction->setStatusTip(QStringLiteral("Logarithmic scale"));
    logAction->setCheckable(true);
    logAction->setChecked(false);
    connect(logAction, &QAction::toggled, panel, &AttributeWidget::setLogarithm);

    auto* binMenu = new QMenu(this);
    connect(binMenu->addAction(QStringLiteral("Default")), &QAction::triggered, panel,
            &AttributeWidget::setBinSort1);
    connect(binMenu->addAction(QStringLiteral("Frequency")), &QAction::triggered, panel,
            &AttributeWidget::setBinSort2);
    connect(binMenu->addAction(QStringLiteral("Rarity")), &QAction::triggered, panel,
            &AttributeWidget::setBinSort3);
    connect(binMenu->addAction(QStringLiteral("Selected")), &QAction::triggered, panel,
            &AttributeWidget::setBinSort4);
    binButton = new QToolButton(this);
    binButton->setIcon(QIcon(QStringLiteral(":/Resources/hsort.png")));
    binButton->setMenu(binMenu);
    binButton->setPopupMode(QToolButton::InstantPopup);

    auto* sortMenu = new QMenu(this);
    connect(sortMenu->addAction(QStringLiteral("Default")), &QAction::triggered, this,
            &RibbonAttributeWidget::setAttributeSort1);
    connect(sortMenu->addAction(QStringLiteral("Alphabetical")), &QAction::triggered, this,
            &RibbonAttributeWidget::setAttributeSort2);
    connect(sortMenu->addAction(QStringLiteral("Rarity")), &QAction::triggered, this,
            &RibbonAttributeWidget::setAttributeSort6);
    connect(sortMenu->addAction(QStringLiteral("Frequency")), &QAction::triggered, this,
            &RibbonAttributeWidget::setAttributeSort7);
    connect(sortMenu->addAction(QStringLiteral("Relevance")), &QAction::triggered, this,
            &RibbonAttributeWidget::setAttributeSort8);
    sortButton = new QToolButton(this);
    sortButton->setIcon(QIcon(QStringLiteral(":/Resources/sort.png")));
    sortButton->setMenu(sortMenu);
    sortButton->setPopupMode(QToolButton::InstantPopup);

    keyTimer = new QTimer(this);
    keyTimer->setInterval(500);
    connect(keyTimer, &QTimer::timeout, this, &RibbonAttributeWidget::keyTimeOut);

    searchBox = new QComboBox(this);
    searchBox->setMinimumWidth(120);
    searchBox->setEditable(true);
    searchBox->setInsertPolicy(QComboBox::NoInsert);
    connect(searchBox, &QComboBox::currentTextChanged, this, &RibbonAttributeWidget::search);

    toolBar->addWidget(new QLabel(QStringLiteral("Search:"), this));
    toolBar->addWidget(searchBox);
    toolBar->addWidget(sortButton);
    toolBar->addAction(logAction);
    toolBar->addWidget(binButton);
    toolBar->setMaximumHeight(30);
    toolBar->setContextMenuPolicy(Qt::PreventContextMenu);
}

QSize RibbonAttributeWidget::sizeHint() const
{
    return QSize(300, 50);
}

void RibbonAttributeWidget::search()
{
    HandlerGuard::run([&] {
        keyTimer->stop();
        keyTimer->start();
    });
}

void RibbonAttributeWidget::keyTimeOut()
{
    HandlerGuard::run([&] {
        // Stopped first: a search that fails is not tried again every 500 ms.
        keyTimer->stop();
        panel->filterAttributes(searchBox->currentText());
    });
}

void RibbonAttributeWidget::refresh()
{
    HandlerGuard::run([&] { panel->refresh(sort); });
}

void RibbonAttributeWidget::refreshFilter()
{
    // The box keeps its own signals: the refill restarts the search timer,
    // so the panel is filtered with the empty text 500 ms later.
    // (Unblocked however the refill ends, out of memory too.)
    const QSignalBlocker quiet(this);
    searchBox->clear();
    GlyphStore* store = controlWidget ? controlWidget->glyphStore : nullptr;
    if (store) {
        const TList<QString> names = store->attributeNames(kind);
        for (const QString& name : names.items)
            searchBox->addItem(name);
    }
    searchBox->setCurrentText(QString());
}

void RibbonAttributeWidget::setAttributeSort1()
{
    sort = QStringLiteral("Default");
    refresh();
}

void RibbonAttributeWidget::setAttributeSort2()
{
    sort = QStringLiteral("Alphabetical");
    refresh();
}

void RibbonAttributeWidget::setAttributeSort6()
{
    sort = QStringLiteral("Rarity");
    refresh();
}

void RibbonAttributeWidget::setAttributeSort7()
{
    sort = QStringLiteral("Frequency");
    refresh();
}

void RibbonAttributeWidget::setAttributeSort8()
{
    sort = QStringLiteral("Relevance");
    refresh();
}
