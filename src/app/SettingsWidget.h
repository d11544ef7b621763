#pragma once

// The left pane of the main window: the attribute panels of events and
// traces in two tabs, the tree of contexts and selections, the rule
// overview strip, the buttons that open the search, glyph and rule windows
// (each press a new window of its own) and the rule list.

#include <QWidget>

class AttributeWidget;
class ControlWidget;
class ConversationWidget;
class QPushButton;
class QResizeEvent;
class QScrollArea;
class RibbonAttributeWidget;
class RuleListWidget;
class RuleOverviewWidget;

class SettingsWidget : public QWidget
{
    Q_OBJECT

public:
    SettingsWidget(ControlWidget* control, QWidget* parent);

    // Called at every load: the rule list rebuilds its rows.
    void refreshData();
    // Called on an attribute event: the rule list rebuilds its rows and the
    // event attribute panel hears of the rule set.
    void refreshRules();

    QPushButton* glyphButton;
    QPushButton* ruleButton;
    QPushButton* findButton;
    RibbonAttributeWidget* attributeRibbon;
    RibbonAttributeWidget* conversationRibbon;
    AttributeWidget* attributeWidget;
    ConversationWidget* conversationWidget;
    RuleListWidget* ruleList;
    RuleOverviewWidget* ruleOverview;
    QScrollArea* ruleOverviewArea;
    RuleOverviewWidget* rightRuleOverview;
    QScrollArea* rightRuleOverviewArea;
    ControlWidget* control;

public slots:
    void search();
    void map();
    void glyph();

protected:
    void resizeEvent(QResizeEvent* event) override;
};
