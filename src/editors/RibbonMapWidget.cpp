#include "editors/RibbonMapWidget.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QHash>
#include <QPushButton>
#include <QSet>
#include <QVBoxLayout>

#include <memory>

#include "app/ControlWidget.h"
#include "core/HandlerGuard.h"
#include "editors/MapWidget.h"
#include "patterns/ParseNode.h"
#include "views/events/EventWidget.h"

RibbonMapWidget* RibbonMapWidget::picking = nullptr;

namespace {

QPushButton* makeButton(const QString& icon, QWidget* parent)
{
    auto* button = new QPushButton(parent);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(32, 32));
    button->setMaximumWidth(32);
    button->setMaximumHeight(32);
    return button;
}

} // namespace

RibbonMapWidget::RibbonMapWidget(bool rewrite, ControlWidget* owner, QWidget* parent)
    : QWidget(parent), owner(owner)
{
    map = new MapWidget(rewrite, owner, this);

    iterator = makeButton(QStringLiteral(":/Resources/iterator.png"), this);
    choice = makeButton(QStringLiteral(":/Resources/choice.png"), this);
    after = makeButton(QStringLiteral(":/Resources/after.png"), this);
    before = makeButton(QStringLiteral(":/Resources/before.png"), this);
    stack = makeButton(QStringLiteral(":/Resources/stack.png"), this);
    negation = makeButton(QStringLiteral(":/Resources/negation.png"), this);
    pickerButton = makeButton(QStringLiteral(":/Resources/colorPicker.png"), this);
    undo = makeButton(QStringLiteral(":/Resources/undo.png"), this);
    redo = makeButton(QStringLiteral(":/Resources/redo.png"), this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // Without a parent: held until the ribbon is made, so that a
    // constructor that throws leaves it behind as little as the rest.
    std::unique_ptr<QButtonGroup> group(new QButtonGroup);
    for (QPushButton* button :
         {iterator, choice, after, before, stack, negation, pickerButton, undo, redo})
        group->addButton(button);

    // Into its layout as soon as it is made: a constructor that throws frees
    // what its layouts hold.
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    row->setSpacing(0);
    row->addWidget(undo);
    row->addWidget(redo);
    auto* blank = new QWidget(this);
    if (rewrite) {
        blank->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        blank->resize(1000, 10);
    } else {
        blank->setFixedWidth(20);
    }
    row->addWidget(blank);
    for (QPushButton* button : {iterator, choice, after, before, stack, negation, pickerButton}) {
        row->addWidget(button);
        if (rewrite)
            button->hide();
    }
    layout->addWidget(map);

    connect(after, &QPushButton::clicked, this, &RibbonMapWidget::insertAfter);
    connect(before, &QPushButton::clicked, this, &RibbonMapWidget::insertBefore);
    connect(iterator, &QPushButton::clicked, this, &RibbonMapWidget::insertIterator);
    connect(choice, &QPushButton::clicked, this, &RibbonMapWidget::insertChoice);
    connect(undo, &QPushButton::clicked, this, &RibbonMapWidget::undoAction);
    connect(redo, &QPushButton::clicked, this, &RibbonMapWidget::redoAction);
    connect(stack, &QPushButton::clicked, this, &RibbonMapWidget::insertStack);
    connect(negation, &QPushButton::clicked, this, &RibbonMapWidget::insertNegation);
    connect(pickerButton, &QPushButton::clicked, this, &RibbonMapWidget::picker);
    connect(map, &MapWidget::selectionChanged, this,
            QOverload<const TList<BinItem*>&>::of(&RibbonMapWidget::updateButtons));
    connect(map, &MapWidget::actionPerformed, this,
            QOverload<>::of(&RibbonMapWidget::updateButtons));
    // The pick of the matrix is connected when this ribbon starts one
    // (picker()), not here: another ribbon's pick must not land in this one.

    updateButtons(TList<BinItem*>());
    updateButtons();
    buttons = group.release();
}

RibbonMapWidget::~RibbonMapWidget()
{
    endPick();
    delete buttons;
}

void RibbonMapWidget::relayout()
{
    map->relayout();
    map->update();
}

EventWidget* RibbonMapWidget::pickMatrix() const
{
    return owner ? owner->focusedEventWidget() : nullptr;
}

void RibbonMapWidget::endPick()
{
    if (pickSource)
        disconnect(pickSource, &EventWidget::picked, this, &RibbonMapWidget::handlePicked);
    pickSource = nullptr;
    if (picking == this)
        picking = nullptr;
}

// ---------------------------------------------------------------------------
// Buttons

void RibbonMapWidget::updateButtons()
{
    redo->setEnabled(map->historyIndex < map->history.size() - 1);
    undo->setEnabled(map->historyIndex >= 1);
}

void RibbonMapWidget::updateButtons(const TList<BinItem*>& selection)
{
    const bool emptySingle = selection.size() == 1
                             && (selection.at(0)->mode == EMPTY || selection.at(0)->mode == EMPTYSMALL);

    QList<ParseNode*> nodes;
    for (BinItem* item : selection) {
        if (ParseNode* node = map->itemNode.value(item, nullptr))
            nodes.append(node);
    }
    // Nodes that make up all children of their parent stand for the parent,
    // until nothing changes.
    int length = -1;
    while (nodes.size() != length) {
        length = nodes.size();
        QList<ParseNode*> parents;
        QHash<ParseNode*, QList<ParseNode*>> groups;
        for (ParseNode* node : nodes) {
            ParseNode* parent = node->parent();
            if (!parent)
                continue;
            if (!groups.contains(parent))
                parents.append(parent);
            if (!groups[parent].contains(node))
                groups[parent].append(node);
        }
        QList<ParseNode*> next;
        auto add = [&next](ParseNode* node) {
            if (!next.contains(node))
                next.append(node);
        };
        for (ParseNode* parent : parents) {
            const QList<ParseNode*>& group = groups.value(parent);
            if (group.size() == parent->children.size()) {
                add(parent);
            } else {
                for (ParseNode* node : group)
                    add(node);
            }
        }
        nodes = next;
    }
    bool sameParent = true;
    for (ParseNode* node : nodes) {
        if (node->parent() != nodes.first()->parent())
            sameParent = false;
    }

    const bool structure = !selection.isEmpty() && !emptySingle && sameParent;
    after->setEnabled(structure);
    before->setEnabled(structure);
    iterator->setEnabled(structure);
    choice->setEnabled(structure);
    stack->setEnabled(selection.size() == 1 && selection.at(0)->mode != EMPTY);
    negation->setEnabled(selection.size() == 1
                         && !(selection.at(0)->mode == NORMAL
                              && selection.at(0)->label == QLatin1String("!")));
    pickerButton->setEnabled(selection.isEmpty());
    repaint();
}

TList<ParseNode*> RibbonMapWidget::clausesOf(const TList<BinItem*>& selection) const
{
    ParseNode* c = map->commonParent(selection);
    TList<ParseNode*> nodes;
    for (BinItem* item : selection) {
        ParseNode* node = map->itemNode.value(item, nullptr);
        if (!node)
            continue;
        if (c) {
            // A node deeper down stands for its ancestor that is a child of c.
            while (node && node->parent() != c)
                node = node->parent();
            if (!node)
                return TList<ParseNode*>();
        }
        if (!nodes.contains(node))
            nodes.append(node);
    }
    if (c && c->type == ParseNode::Or && !nodes.isEmpty() && nodes.size() == c->children.size())
        return TList<ParseNode*>{c};
    return nodes;
}

// Each button's action runs under the editor's guard: out of memory the
// editor is put back as it was before the click and says so once.

void RibbonMapWidget::insertBefore()
{
    map->guardAction(QStringLiteral("Failed to insert before"), true, [this] {
        map->insertBefore(clausesOf(map->selectedItems()));
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::insertAfter()
{
    map->guardAction(QStringLiteral("Failed to insert after"), true, [this] {
        map->insertAfter(clausesOf(map->selectedItems()));
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::insertIterator()
{
    map->guardAction(QStringLiteral("Failed to insert a repetition"), true, [this] {
        map->insertIterator(clausesOf(map->selectedItems()));
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::insertChoice()
{
    map->guardAction(QStringLiteral("Failed to insert a choice"), true, [this] {
        map->insertChoice(clausesOf(map->selectedItems()));
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::insertStack()
{
    map->guardAction(QStringLiteral("Failed to stack"), true, [this] {
        const TList<BinItem*> selection = map->selectedItems();
        if (!selection.isEmpty()) {
            if (ParseNode* node = map->itemNode.value(selection.first(), nullptr))
                map->insertStack(node);
        }
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::insertNegation()
{
    map->guardAction(QStringLiteral("Failed to insert a negation"), true, [this] {
        const TList<BinItem*> selection = map->selectedItems();
        if (!selection.isEmpty()) {
            if (ParseNode* node = map->itemNode.value(selection.first(), nullptr))
                map->insertNegation(node);
        }
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::undoAction()
{
    map->guardAction(QStringLiteral("Failed to undo"), true, [this] {
        map->undo();
        updateButtons();
        updateButtons(map->selectedItems());
    });
}

void RibbonMapWidget::redoAction()
{
    map->guardAction(QStringLiteral("Failed to redo"), true, [this] {
        map->redo();
        updateButtons();
        updateButtons(map->selectedItems());
    });
}

// ---------------------------------------------------------------------------
// Glyph picker

void RibbonMapWidget::picker()
{
    HandlerGuard::run([this] {
        EventWidget* matrix = pickMatrix();
        if (!matrix)
            return;
        // One pick at a time: a ribbon still waiting gives way to this one.
        if (picking && picking != this)
            picking->endPick();
        endPick();
        try {
            pickSource = matrix;
            picking = this;
            connect(matrix, &EventWidget::picked, this, &RibbonMapWidget::handlePicked,
                    Qt::UniqueConnection);
            matrix->setPickerMode();
        } catch (...) {
            // No pick waits for a matrix that does not pick.
            endPick();
            throw;
        }
        if (QWidget* top = window())
            top->showMinimized();
    });
}

void RibbonMapWidget::handlePicked(BinItem glyph)
{
    // The placing has its own guard and message; the rest is the window's.
    HandlerGuard::run([&] {
        endPick();
        // A cancelled pick (Esc) ends with a glyph without name.
        if (!glyph.name.isEmpty()) {
            map->guardAction(QStringLiteral("Failed to place the glyph"), true, [&] {
                BinItem copy(glyph);
                copy.packets.clear();
                copy.selected = false;
                copy.selectedCount = 0;
                copy.totalCount = 0;
                for (BinItem& child : copy.children) {
                    child.packets.clear();
                    child.selected = false;
                    child.selectedCount = 0;
                    child.totalCount = 0;
                    child.detail.clear();
                }
                std::unique_ptr<ParseNode> leaf(new ParseNode(ParseNode::Leaf));
                leaf->setGlyph(copy);
                map->placeNode(leaf.release());
            });
        }
        if (QWidget* top = window()) {
            top->showNormal();
            top->activateWindow();
        }
    });
}
