#include "TestRegistry.h"

#include <QLineEdit>
#include <QtTest>

#include <memory>

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "patterns/ParseNode.h"
#include "views/events/EventWidget.h"

// "Create rule..": the glyphs become the precondition of "filter N" in a
// new rule editor window, copied without their events and selection.
class CreateRuleTest : public QObject
{
    Q_OBJECT

private slots:
    void filterRule()
    {
        EventWidget::ruleCounter = 0;
        ControlWidget control(nullptr);
        EventWidget view(&control, nullptr, 0, nullptr);
        QWidget cell;
        ParseNode condition(ParseNode::Test);
        condition.name = QStringLiteral("kind");
        std::vector<std::unique_ptr<BinItem>> glyphs;
        for (const char* name : {"Login", "Read"}) {
            auto item = std::make_unique<BinItem>(nullptr, &cell);
            item->name = name;
            item->packets.append(QSharedPointer<Packet>(new Packet(TList<TVariant>{TVariant(1.0)})));
            item->totalCount = item->selectedCount = 1;
            item->selected = item->highlighted = true;
            item->condition = &condition;
            item->children.append(*item);
            glyphs.push_back(std::move(item));
        }
        RuleEditorWidget* editor = view.createRule(TList<BinItem*>{glyphs[0].get(), glyphs[1].get()});
        QScopedPointer<QWidget> window(editor->window());
        QVERIFY(window->isVisible() && window->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(editor->nameEdit->text(), QStringLiteral("filter 0"));
        QCOMPARE(editor->postEditor->map->root->children.first()->glyph.mode, EMPTY);
        const QList<ParseNode*>& leaves = editor->preEditor->map->root->children;
        QCOMPARE(leaves.size(), 2);
        QCOMPARE(leaves[1]->glyph.name, QStringLiteral("Read"));
        for (const ParseNode* leaf : leaves) {
            for (const BinItem& g : {leaf->glyph, leaf->glyph.children.first()}) {
                QVERIFY(g.packets.isEmpty() && !g.selected && !g.highlighted && !g.owner);
                QVERIFY(g.totalCount == 0 && g.selectedCount == 0);
            }
            // The leaf frees a condition of its own.
            QVERIFY(leaf->glyph.condition && leaf->glyph.condition != &condition);
        }
        QVERIFY(glyphs[0]->selected && glyphs[0]->packets.size() == 1);

        RuleEditorWidget* next = view.createRule(TList<BinItem*>());
        QScopedPointer<QWidget> second(next->window());
        QCOMPARE(next->nameEdit->text(), QStringLiteral("filter 1"));
        QVERIFY(next->preEditor->map->root->children.isEmpty());
    }
};

LUMIVANE_TEST(CreateRuleTest)
#include "CreateRuleTest.moc"
