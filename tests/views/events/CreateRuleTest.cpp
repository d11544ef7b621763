#include "TestRegistry.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "views/events/EventWidget.h"

namespace {

using PacketPtr = QSharedPointer<Packet>;

// A glyph of the matrix: a rewrite glyph that stands for selected events.
std::unique_ptr<BinItem> matrixGlyph(const QString& name, QWidget* cell, int events)
{
    auto item = std::make_unique<BinItem>(nullptr, cell);
    item->name = name;
    item->label = QString::number(events);
    item->fillColor = QColor(10, 20, 30);
    for (int i = 0; i < events; ++i)
        item->packets.append(PacketPtr(new Packet(TList<TVariant>{TVariant(double(i))})));
    item->totalCount = events;
    item->selectedCount = events;
    item->selected = true;
    item->highlighted = true;
    item->auxValue = 1;
    return item;
}

bool eventFree(const BinItem& glyph)
{
    bool free = glyph.packets.isEmpty() && glyph.selectedCount == 0 && glyph.totalCount == 0
                && !glyph.selected && !glyph.highlighted && !glyph.owner && glyph.auxValue == 0;
    for (const BinItem& child : glyph.children)
        free = free && eventFree(child);
    return free;
}

} // namespace

// "Create rule..": the selected glyphs become the precondition of a filter
// rule in a new rule editor window, copied without their events.
class CreateRuleTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { EventWidget::ruleCounter = 0; }

    void filterRuleOfSelection()
    {
        ControlWidget control(nullptr);
        EventWidget view(&control, nullptr, 0, nullptr);
        QWidget cell;
        auto first = matrixGlyph(QStringLiteral("Login"), &cell, 3);
        auto second = matrixGlyph(QStringLiteral("Read"), &cell, 2);
        auto condition = std::make_unique<ParseNode>(ParseNode::Test);
        condition->name = QStringLiteral("kind");
        condition->value = TVariant(QStringLiteral("r"), false);
        second->condition = condition.get();
        BinItem stacked = *matrixGlyph(QStringLiteral("Gray"), &cell, 4);
        second->children.append(stacked);

        RuleEditorWidget* editor = view.createRule(TList<BinItem*>{first.get(), second.get()});
        QScopedPointer<QWidget> window(editor->window());
        QVERIFY(window->isWindow() && window->isVisible() && !window->parent());
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(window->findChild<RuleWidget*>(), editor->ruleTable);
        QVERIFY(editor->ruleTable->showNewRow);

        QCOMPARE(editor->nameEdit->text(), QStringLiteral("filter 0"));
        QVERIFY(editor->editing);
        const ParseNode* pre = editor->preEditor->map->root;
        QCOMPARE(pre->type, int(ParseNode::And));
        QCOMPARE(pre->children.size(), 2);
        const BinItem& login = pre->children[0]->glyph;
        const BinItem& read = pre->children[1]->glyph;
        QCOMPARE(login.name, QStringLiteral("Login"));
        QCOMPARE(login.label, QStringLiteral("3"));
        QCOMPARE(login.fillColor, QColor(10, 20, 30));
        QCOMPARE(read.name, QStringLiteral("Read"));
        QCOMPARE(read.children.size(), 1);
        QVERIFY(eventFree(login) && eventFree(read));
        // The leaf holds a condition of its own.
        QVERIFY(read.condition && read.condition != condition.get());
        QCOMPARE(read.condition->toString(), condition->toString());
        const ParseNode* post = editor->postEditor->map->root;
        QCOMPARE(post->children.size(), 1);
        QCOMPARE(post->children[0]->type, int(ParseNode::Leaf));
        QCOMPARE(post->children[0]->glyph.mode, EMPTY);

        // The matrix's glyphs are untouched.
        QCOMPARE(second->packets.size(), 2);
        QVERIFY(second->selected);

        // Saved, it is a new rule without any event in it.
        QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        QCOMPARE(control.glyphStore->rules.size(), 1);
        const Rule& saved = control.glyphStore->rules[0];
        QCOMPARE(saved.name, QStringLiteral("filter 0"));
        QVERIFY(saved.match && saved.visible);
        QCOMPARE(saved.pre->children.size(), 2);
        for (const ParseNode* leaf : saved.pre->children)
            QVERIFY(eventFree(leaf->glyph));
    }

    // Each rule takes the next number; nothing selected gives an empty
    // precondition.
    void counterAndEmptySelection()
    {
        ControlWidget control(nullptr);
        EventWidget view(&control, nullptr, 0, nullptr);
        QWidget cell;
        auto glyph = matrixGlyph(QStringLiteral("A"), &cell, 1);
        QScopedPointer<QWidget> one(view.createRule(TList<BinItem*>{glyph.get()})->window());
        RuleEditorWidget* second = view.createRule(TList<BinItem*>());
        QScopedPointer<QWidget> two(second->window());
        QCOMPARE(second->nameEdit->text(), QStringLiteral("filter 1"));
        QVERIFY(second->preEditor->map->root->children.isEmpty());
        QCOMPARE(EventWidget::ruleCounter, 2);
        QVERIFY(one.data() != two.data());
    }
};

LUMIVANE_TEST(CreateRuleTest)
#include "CreateRuleTest.moc"
