#pragma once

// Incomplete: a stand-in for the context tree; keeps what the shell hands it.

#include <QTreeWidget>

class ControlWidget;
class Context;

class NavigationWidget : public QTreeWidget
{
    Q_OBJECT

public:
    NavigationWidget(ControlWidget* control, QWidget* parent);

    // Takes the root context of the current glyph store as the active one.
    void refresh();

    ControlWidget* control;
    Context* activeContext = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
};
