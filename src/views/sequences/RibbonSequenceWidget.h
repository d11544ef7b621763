#pragma once

#include <QWidget>

class ControlWidget;
class Context;
class QCheckBox;
class QPushButton;
class QScrollArea;
class QSlider;
class QSpinBox;
class QTimer;
class SequenceWidget;

// The last pane of the main window: the sequence view in a scroll area with
// its controls, the gap and substitution penalties of the alignment, the
// alignment switch, the item size with its fit button and the merge switch.
// The main window and the event ribbon's "SequenceView" button switch it
// active and inactive; an inactive ribbon's view is empty.
class RibbonSequenceWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonSequenceWidget(ControlWidget* owner, QWidget* parent);

    // The view is fed by the event bus, not by this call.
    void setContext(Context* context);

    SequenceWidget* sequenceView;
    ControlWidget* owner;
    QPushButton* alignmentButton;
    QPushButton* fitButton;
    QPushButton* mergeButton;
    QScrollArea* scrollArea;
    bool alignment = false;
    QCheckBox* linesBox;
    bool active = true;
    QTimer* sizeTimer;
    QSlider* sizeSlider;
    QTimer* secondTimer;
    QSlider* secondSlider;
    QSpinBox* gapPenaltyBox;
    QSpinBox* substitutionPenaltyBox;

public slots:
    void setInsertionCost(int penalty);
    void setSubstitutionCost(int penalty);
    void setMSA(bool on);
    void setItemSize();
    void setVItemSize();
    void setFit();
    void setSizeTimer(int value);
    void setSizeTimer2(int value);
    void setActive(bool active, bool show);
    void setActive(bool active);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The size that fits the longest row into the view's width, applied.
    void fit();
    // The left event ribbon's "SequenceView" button, or null.
    QPushButton* sequenceViewButton() const;
};
