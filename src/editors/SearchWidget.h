#pragma once

#include <QWidget>

class ControlWidget;
class ParseNode;
class QCheckBox;
class QKeyEvent;
class QPushButton;
class RibbonMapWidget;

// The find window: a pattern drawn in its editor goes to the event matrix,
// which selects the matching events (or whole traces, "Find traces"), with
// the longest or the shortest match ("Longest match"), and may number the
// matches in a new attribute ("Create attribute"). Each use makes a new
// window; it is deleted when it closes.
class SearchWidget : public QWidget
{
    Q_OBJECT

public:
    explicit SearchWidget(ControlWidget* owner, QWidget* parent = nullptr);
    ~SearchWidget() override;

    // setAttribute(bool) below hides QWidget's overloads otherwise.
    using QWidget::setAttribute;

    QPushButton* findButton = nullptr;
    QPushButton* cancelButton = nullptr;
    ControlWidget* owner = nullptr;
    RibbonMapWidget* editor = nullptr;
    ParseNode* pattern = nullptr;       // owned; the last pattern sent
    bool findTraces = false;
    bool longestMatch = false;
    bool createAttribute = false;
    QCheckBox* tracesBox = nullptr;     // "Find traces"
    QCheckBox* longestBox = nullptr;    // "Longest match"
    QCheckBox* attributeBox = nullptr;  // "Create attribute"

public slots:
    void findRule();
    void setConv(bool on);
    void setLongest(bool on);
    void setAttribute(bool on);

protected:
    // Every key goes on to the pattern editor, wherever the mouse is.
    void keyPressEvent(QKeyEvent* event) override;
};
