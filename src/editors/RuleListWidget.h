#pragma once

// Incomplete: a stand-in for the rule list; it only shows its name.

#include <QListWidget>

class ControlWidget;

class RuleListWidget : public QListWidget
{
    Q_OBJECT

public:
    RuleListWidget(ControlWidget* owner, QWidget* parent);

    void refreshRules();
    QSize sizeHint() const override;

    ControlWidget* owner;

protected:
    void paintEvent(QPaintEvent* event) override;
};
