#include "app/SettingsWidget.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "core/HandlerGuard.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/GlyphWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleListWidget.h"
#include "editors/SearchWidget.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RuleOverviewWidget.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace {

QScrollArea* overviewArea(RuleOverviewWidget* overview)
{
    auto* area = new QScrollArea;
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setWidgetResizable(true);
    area->setMaximumHeight(70);
    overview->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    area->setWidget(overview);
    return area;
}

// A tab page holding one attribute ribbon. It asks for the height its ribbon
// may reach, so that in the panel's column the histograms share the height
// with the rule list instead of getting what the rule list leaves over.
class RibbonPage : public QWidget
{
public:
    RibbonPage() = default;

    QSize sizeHint() const override
    {
        QSize hint = QWidget::sizeHint();
        if (ribbon && layout()) {
            const QMargins m = layout()->contentsMargins();
            hint.setHeight(std::max(hint.height(), ribbon->maximumHeight() + m.top() + m.bottom()));
        }
        return hint;
    }

    RibbonAttributeWidget* ribbon = nullptr;
};

} // namespace

SettingsWidget::SettingsWidget(ControlWidget* control, QWidget* parent)
    : QWidget(parent)
    , control(control)
{
    MainWindow* window = control ? control->mainWindow : nullptr;

    findButton = new QPushButton(QStringLiteral("Find"), this);
    glyphButton = new QPushButton(QStringLiteral("Glyphs"), this);
    ruleButton = new QPushButton(QStringLiteral("Rules"), this);
    glyphButton->hide();

    ruleList = new RuleListWidget(control, this);

    connect(findButton, &QPushButton::clicked, this, &SettingsWidget::search);
    connect(glyphButton, &QPushButton::clicked, this, &SettingsWidget::glyph);
    connect(ruleButton, &QPushButton::clicked, this, &SettingsWidget::map);

    auto* layout = new QVBoxLayout(this);

    auto* eventsPage = new RibbonPage;
    auto* eventsGrid = new QGridLayout(eventsPage);
    eventsGrid->setSpacing(1);
    attributeRibbon = new RibbonAttributeWidget(control, false, eventsPage);
    eventsGrid->addWidget(attributeRibbon, 0, 0);
    eventsPage->ribbon = attributeRibbon;

    auto* tracesPage = new RibbonPage;
    auto* tracesGrid = new QGridLayout(tracesPage);
    tracesGrid->setSpacing(1);
    conversationRibbon = new RibbonAttributeWidget(control, true, tracesPage);
    tracesGrid->addWidget(conversationRibbon, 0, 0);
    tracesPage->ribbon = conversationRibbon;

    attributeWidget = attributeRibbon->panel;
    conversationWidget = static_cast<ConversationWidget*>(conversationRibbon->panel);

    auto* tabs = new QTabWidget(this);
    tabs->addTab(eventsPage, tr("Events"));
    tabs->addTab(tracesPage, tr("Traces"));
    // Never taller than a page can use: the height past the ribbons goes to
    // the rule list.
    tabs->setSizePolicy(tabs->sizePolicy().horizontalPolicy(), QSizePolicy::Maximum);
    layout->addWidget(tabs);

    layout->addWidget(new QLabel(QStringLiteral("Selections:"), this));
    if (window && window->navigationWidget)
        layout->addWidget(window->navigationWidget);

    EventWidget* leftView = (window && window->leftEventRibbon) ? window->leftEventRibbon->view : nullptr;
    EventWidget* rightView = (window && window->rightEventRibbon) ? window->rightEventRibbon->view : nullptr;
    ruleOverview = new RuleOverviewWidget(control, leftView, nullptr);
    ruleOverviewArea = overviewArea(ruleOverview);
    rightRuleOverview = new RuleOverviewWidget(control, rightView, nullptr);
    rightRuleOverviewArea = overviewArea(rightRuleOverview);
    // The right overview is built for the right group and never placed.
    rightRuleOverviewArea->setParent(this);
    rightRuleOverviewArea->hide();

    ruleList->setMinimumHeight(200);

    layout->addWidget(new QLabel(QStringLiteral("Rules:"), this));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(findButton);
    buttons->addWidget(glyphButton);
    buttons->addWidget(ruleButton);
    layout->addLayout(buttons);
    layout->addWidget(ruleOverviewArea);
    layout->addWidget(ruleList);
}

void SettingsWidget::refreshData()
{
    ruleList->refreshRules();
}

void SettingsWidget::refreshRules()
{
    ruleList->refreshRules();
    if (attributeWidget)
        attributeWidget->refreshRules();
}

// Each press opens a new window; every window is deleted when it closes.
// Out of memory while it is made, no window opens (what was made of it
// goes) and the press says so.
void SettingsWidget::search()
{
    HandlerGuard::run([this] {
        std::unique_ptr<SearchWidget> window(new SearchWidget(control, nullptr));
        window->show();
        window.release();
    });
}

void SettingsWidget::map()
{
    HandlerGuard::run([this] { RuleEditorWidget::openWindow(control); });
}

void SettingsWidget::glyph()
{
    HandlerGuard::run([this] {
        // The table and the editor are the window's from the start.
        std::unique_ptr<QWidget> window(new QWidget);
        window->setAttribute(Qt::WA_DeleteOnClose);
        auto* table = new GlyphWidget(control, window.get());
        auto* editor = new GlyphEditorWidget(table, control, window.get());
        auto* layout = new QVBoxLayout(window.get());
        layout->setSpacing(1);
        layout->addWidget(editor);
        layout->addWidget(table);
        window->show();
        window.release();
    });
}

void SettingsWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Out of memory the overview keeps the layout it had (relayout ends
    // its own failure).
    ruleOverview->relayout();
}
