#pragma once

// Incomplete: the side panel's layout and the panels the controller reaches
// are here; the editor and search windows its buttons open come later.

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
    // Called on an attribute event: the rule list rebuilds its rows.
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
