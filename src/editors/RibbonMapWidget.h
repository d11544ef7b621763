#pragma once

#include <QPointer>
#include <QWidget>

#include "core/TList.h"
#include "items/BinItem.h"

class ControlWidget;
class EventWidget;
class MapWidget;
class ParseNode;
class QButtonGroup;
class QPushButton;

// The tool strip of one pattern editor: undo and redo, the structure buttons
// (iterator, choice, after, before, stack, negation) that act on the editor's
// selection, and the glyph picker that fetches a glyph from the event
// matrix. In rewrite mode only undo and redo show.
class RibbonMapWidget : public QWidget
{
    Q_OBJECT

public:
    RibbonMapWidget(bool rewrite, ControlWidget* owner, QWidget* parent = nullptr);
    ~RibbonMapWidget() override;

    // Lays the editor's items out again (the rule editor after loading a rule).
    void relayout();
    // The nodes an edit applies to: the selected nodes under their common
    // parent, or the whole choice when all its branches are selected. A node
    // below another child of the common parent stands for that child; a node
    // that is not below the common parent refuses the edit (empty result).
    TList<ParseNode*> clausesOf(const TList<BinItem*>& items) const;

    MapWidget* map = nullptr;
    QPushButton* iterator = nullptr;
    QPushButton* choice = nullptr;
    QPushButton* after = nullptr;
    QPushButton* before = nullptr;
    QPushButton* redo = nullptr;
    QPushButton* undo = nullptr;
    QPushButton* stack = nullptr;
    QPushButton* negation = nullptr;
    QPushButton* pickerButton = nullptr;   // the picker() slot takes the plain name
    ControlWidget* owner = nullptr;

public slots:
    void updateButtons(const TList<BinItem*>& selection);
    void insertBefore();
    void handlePicked(BinItem glyph);
    void insertAfter();
    void insertIterator();
    void insertChoice();
    void insertStack();
    void insertNegation();
    void undoAction();
    void redoAction();
    void updateButtons();
    void picker();

private:
    // The event matrix that picks glyphs (the main window's left one).
    EventWidget* pickMatrix() const;
    // Stops listening to the matrix this ribbon's pick was started on.
    void endPick();

    QButtonGroup* buttons = nullptr;        // owned; has no parent
    QPointer<EventWidget> pickSource;        // set while a pick of this ribbon runs
    // The ribbon whose pick runs: a pick reaches only the ribbon that started it.
    static RibbonMapWidget* picking;
};
