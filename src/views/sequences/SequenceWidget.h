#pragma once

// Incomplete: a stand-in for the sequence view; it only shows its name.

#include <QWidget>

class ControlWidget;

class SequenceWidget : public QWidget
{
    Q_OBJECT

public:
    SequenceWidget(ControlWidget* owner, QWidget* parent);

    ControlWidget* owner;

protected:
    void paintEvent(QPaintEvent* event) override;
};
