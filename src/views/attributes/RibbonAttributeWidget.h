#pragma once

#include <QString>
#include <QWidget>

class AttributeWidget;
class ControlWidget;
class QAction;
class QComboBox;
class QTimer;
class QToolBar;
class QToolButton;

// The strip of controls over an attribute panel, and the panel's owner: the
// search box with the attribute names (the panel is filtered 500 ms after
// the last change of its text), the attribute order, the logarithmic count
// scale and the bin order of the histograms.
class RibbonAttributeWidget : public QWidget
{
    Q_OBJECT

public:
    // kind false: event attributes (an AttributeWidget); true: trace
    // attributes (a ConversationWidget).
    RibbonAttributeWidget(ControlWidget* controlWidget, bool kind, QWidget* parent);

    QSize sizeHint() const override;

    ControlWidget* controlWidget;
    AttributeWidget* panel;
    QToolBar* toolBar;
    QAction* logAction;
    QToolButton* binButton;
    QTimer* keyTimer;
    QToolButton* sortButton;
    QComboBox* searchBox;
    QString sort;
    bool kind;

public slots:
    void search();
    void keyTimeOut();
    void refresh();
    // Refills the search box with the store's attribute names.
    void refreshFilter();
    void setAttributeSort1();
    void setAttributeSort2();
    void setAttributeSort6();
    void setAttributeSort7();
    void setAttributeSort8();
};
