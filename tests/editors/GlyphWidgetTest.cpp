#include "TestRegistry.h"
#include "DebugCapture.h"
#include "GlyphFixture.h"
#include "../app/MessageRecorder.h"

#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/WrapWidget.h"

namespace {

BinItem named(const QString& name, const QString& label = QString())
{
    BinItem g(nullptr, nullptr);
    g.name = name;
    g.label = label;
    return g;
}

template <typename T>
T* innerOf(QTableWidget* table, int row, int column)
{
    auto* wrapper = qobject_cast<QWidget*>(table->cellWidget(row, column));
    auto* wrap = dynamic_cast<WrapWidget*>(wrapper);
    return wrap ? dynamic_cast<T*>(wrap->inner) : nullptr;
}

} // namespace

class GlyphWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void content()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        QTableWidget* t = table.table;

        const QStringList expected = {"Login", "Read", "Blue", "Purple", "Green", "Yellow", "Red"};
        QCOMPARE(GlyphFixture::names(table.glyphs), expected);
        QCOMPARE(GlyphFixture::tableNames(table), expected);
        QCOMPARE(t->columnCount(), 8);
        QStringList headers;
        for (int c = 0; c < 8; ++c)
            headers << t->horizontalHeaderItem(c)->text();
        QCOMPARE(headers, QStringList({"Glyph:", "Name:", "Text:", "Shape:", "Edge Color:",
                                       "Fill Color", "Edge Width:", "Size:"}));
        for (int c = 0; c < 8; ++c) {
            QCOMPARE(t->isColumnHidden(c), c >= 3);
            QCOMPARE(t->horizontalHeader()->sectionResizeMode(c), QHeaderView::Stretch);
        }
        QVERIFY(!t->verticalHeader()->isVisible() || t->verticalHeader()->isHidden());
        QVERIFY(!t->showGrid());
        QVERIFY(t->alternatingRowColors());
        QCOMPARE(t->selectionBehavior(), QAbstractItemView::SelectRows);

        for (int row = 0; row < t->rowCount(); ++row) {
            QCOMPARE(t->rowHeight(row), 50);
            auto* example = innerOf<ExampleWidget>(t, row, 0);
            QVERIFY(example);
            QCOMPARE(example->size(), QSize(48, 48));
            QCOMPARE(example->item->name, expected.at(row));
            auto* edge = innerOf<ColorBox>(t, row, 4);
            auto* fill = innerOf<ColorBox>(t, row, 5);
            QVERIFY(edge && fill);
            QVERIFY(edge->isReadOnly() && fill->isReadOnly());
            QCOMPARE(edge->size(), QSize(23, 23));
            QCOMPARE(fill->color(), table.glyphs[row].fillColor);
            QCOMPARE(edge->color(), table.glyphs[row].edgeColor);
        }
        // The hidden cells of "Login" (circle, edge 3, 150 %) and "Read" (29 %).
        QCOMPARE(t->item(0, 2)->text(), QStringLiteral("L"));
        QCOMPARE(t->item(0, 3)->text(), QStringLiteral("Circle"));
        QCOMPARE(t->item(0, 6)->text(), QStringLiteral("3"));
        QCOMPARE(t->item(0, 7)->text(), QStringLiteral("150%"));
        QCOMPARE(t->item(1, 3)->text(), QStringLiteral("Triangle"));
        QCOMPARE(t->item(1, 7)->text(), QStringLiteral("29%"));
        QCOMPARE(t->item(2, 7)->text(), QStringLiteral("100%"));
    }

    void addGetsNextId()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        const int next = nextGlyphId;
        BinItem a = named(QStringLiteral("Write"), QStringLiteral("W"));
        BinItem b = named(QStringLiteral("Close"));
        table.addGlyph(a);
        table.addGlyph(b);
        QCOMPARE(a.id, next);
        QCOMPARE(b.id, next + 1);
        QCOMPARE(f.stored(QStringLiteral("Write"))->id, next);
        QCOMPARE(f.stored(QStringLiteral("Close"))->id, next + 1);
        QCOMPARE(f.store()->glyphs.last().name, QStringLiteral("Close"));
        QCOMPARE(table.glyphs.last().id, next + 1);
        // Appended to the table, the new last row selected.
        QCOMPARE(GlyphFixture::tableNames(table).mid(7), QStringList({"Write", "Close"}));
        QCOMPARE(table.table->currentRow(), 8);
        QVERIFY(table.table->item(8, 1)->isSelected());
    }

    // Names the table or either list of the store already has are refused.
    void duplicatesRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("in the table") << QStringLiteral("Login");
        QTest::newRow("colour glyph") << QStringLiteral("Blue");
        QTest::newRow("WildCard") << QStringLiteral("WildCard");
        QTest::newRow("DeleteItem") << QStringLiteral("DeleteItem");
        QTest::newRow("Gray") << QStringLiteral("Gray");
        QTest::newRow("None") << QStringLiteral("None");
        QTest::newRow("added elsewhere") << QStringLiteral("Late");
    }

    void duplicatesRefused()
    {
        QFETCH(QString, name);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        BinItem late = named(QStringLiteral("Late"));
        f.store()->addGlyph(late);   // after the table took its copy
        const int glyphs = f.store()->glyphs.size();
        const int colours = f.store()->colorGlyphs.size();
        const int rows = table.table->rowCount();
        const int next = nextGlyphId;

        DebugCapture debug;
        debug.setForward(false);
        BinItem again = named(name, QStringLiteral("x"));
        table.addGlyph(again);
        QCOMPARE(debug.count(QStringLiteral("item already exists")), 1);
        QCOMPARE(f.store()->glyphs.size(), glyphs);
        QCOMPARE(f.store()->colorGlyphs.size(), colours);
        QCOMPARE(table.table->rowCount(), rows);
        QCOMPARE(table.glyphs.size(), rows);
        QCOMPARE(nextGlyphId, next);
    }

    // Only the shown fields change; the condition, quantifier, id and edge
    // width stay, in the table's copy and in the store.
    void replaceByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("own glyph") << QStringLiteral("Login");
        QTest::newRow("colour glyph") << QStringLiteral("Blue");
    }

    void replaceByName()
    {
        QFETCH(QString, name);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        const BinItem before = *f.stored(name);
        BinItem edited = named(name, QStringLiteral("new"));
        edited.fillColor = QColor(1, 2, 3);
        edited.edgeColor = QColor(4, 5, 6);
        edited.shape = PENTAGON;
        edited.sizeFactor = 0.5;
        edited.edgeWidth = 9;
        edited.id = 999;
        table.setGlyph(edited);

        const BinItem* after = f.stored(name);
        QCOMPARE(after->label, QStringLiteral("new"));
        QCOMPARE(after->fillColor, QColor(1, 2, 3));
        QCOMPARE(after->edgeColor, QColor(4, 5, 6));
        QCOMPARE(after->shape, PENTAGON);
        QCOMPARE(after->sizeFactor, 0.5);
        QCOMPARE(after->condition, before.condition);
        QCOMPARE(after->quantifier, before.quantifier);
        QCOMPARE(after->id, before.id);
        QCOMPARE(after->edgeWidth, before.edgeWidth);
        QCOMPARE(f.countNamed(name), 1);

        const int row = GlyphFixture::rowOf(table, name);
        QCOMPARE(table.glyphs[row].label, QStringLiteral("new"));
        QCOMPARE(table.glyphs[row].id, before.id);
        QCOMPARE(table.glyphs[row].condition, before.condition);
        QCOMPARE(table.table->item(row, 2)->text(), QStringLiteral("new"));
        QCOMPARE(table.table->item(row, 7)->text(), QStringLiteral("50%"));
        QCOMPARE(table.table->currentRow(), table.table->rowCount() - 1);
    }

    // Exactly the store's glyph of that name goes: the first one, searched
    // in the store's own list and then in the colour glyphs.
    void removeByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("ownList");
        QTest::addColumn<int>("colourList");
        QTest::newRow("own glyph") << QStringLiteral("Read") << 5 - 1 << 5;
        QTest::newRow("colour glyph") << QStringLiteral("Yellow") << 5 << 5 - 1;
    }

    void removeByName()
    {
        QFETCH(QString, name);
        QFETCH(int, ownList);
        QFETCH(int, colourList);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        BinItem gone = named(name);
        table.removeGlyph(gone);
        QCOMPARE(f.countNamed(name), 0);
        QCOMPARE(f.store()->glyphs.size(), ownList);
        QCOMPARE(f.store()->colorGlyphs.size(), colourList);
        QCOMPARE(GlyphFixture::rowOf(table, name), -1);
        QCOMPARE(table.table->rowCount(), 6);
        QCOMPARE(table.glyphs.size(), 6);
    }

    void removeTakesOnlyTheFirstOfTwo()
    {
        GlyphFixture f;
        // A glyph of the store's own list that shares a colour glyph's name.
        BinItem twin = named(QStringLiteral("Red"), QStringLiteral("own"));
        f.store()->glyphs.append(twin);
        GlyphWidget table(&f.control);
        BinItem gone = named(QStringLiteral("Red"));
        table.removeGlyph(gone);
        QCOMPARE(f.countNamed(QStringLiteral("Red")), 1);
        QCOMPARE(f.stored(QStringLiteral("Red"))->label, QString());
        QCOMPARE(f.store()->colorGlyphs.size(), 5);
        QCOMPARE(GlyphFixture::tableNames(table).count(QStringLiteral("Red")), 1);
    }

    void unknownNames()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        DebugCapture debug;
        debug.setForward(false);
        BinItem ghost = named(QStringLiteral("Ghost"));
        table.setGlyph(ghost);
        table.removeGlyph(ghost);
        // "Gray" is in the store but not in the table.
        BinItem gray = named(QStringLiteral("Gray"));
        table.removeGlyph(gray);
        QCOMPARE(debug.count(QStringLiteral("item does not exist")), 3);
        QCOMPARE(f.store()->glyphs.size(), 5);
        QCOMPARE(table.table->rowCount(), 7);
    }

    // A rules-file line cannot hold ",", "~" or "]"; a glyph needs a name.
    void badNamesRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("mention");
        QTest::newRow("comma in name") << QStringLiteral("a,b") << QString() << QStringLiteral("\",\"");
        QTest::newRow("tilde in name") << QStringLiteral("a~b") << QString() << QStringLiteral("\"~\"");
        QTest::newRow("bracket in name") << QStringLiteral("a]") << QString() << QStringLiteral("\"]\"");
        QTest::newRow("comma in label") << QStringLiteral("ok") << QStringLiteral("1,2") << QStringLiteral("\",\"");
        QTest::newRow("tilde in label") << QStringLiteral("ok") << QStringLiteral("~") << QStringLiteral("\"~\"");
        QTest::newRow("bracket in label") << QStringLiteral("ok") << QStringLiteral("x]") << QStringLiteral("\"]\"");
        QTest::newRow("empty name") << QString() << QString() << QStringLiteral("no name");
        QTest::newRow("blank name") << QStringLiteral("   ") << QString() << QStringLiteral("no name");
    }

    void badNamesRefused()
    {
        QFETCH(QString, name);
        QFETCH(QString, label);
        QFETCH(QString, mention);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        MessageRecorder boxes;
        BinItem bad = named(name, label);
        table.addGlyph(bad);
        // Replacing a glyph with such a label is refused as well.
        BinItem badLogin = named(QStringLiteral("Login"), label);
        if (!label.isEmpty())
            table.setGlyph(badLogin);
        QCOMPARE(boxes.requests.size(), label.isEmpty() ? 1 : 2);
        for (const auto& r : boxes.requests) {
            QCOMPARE(r.icon, QMessageBox::Warning);
            QCOMPARE(r.title, QStringLiteral("Failed to save glyph"));
            QVERIFY2(r.text.contains(mention), qPrintable(r.text));
        }
        QCOMPARE(f.store()->glyphs.size(), 5);
        QCOMPARE(f.stored(QStringLiteral("Login"))->label, QStringLiteral("L"));
        QCOMPARE(table.table->rowCount(), 7);
    }

    // A load replaces the store under the open table: glyphs the new store
    // lacks are left alone, those it has are changed there.
    void storeReplacedUnderTable()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        delete f.control.glyphStore;
        f.control.glyphStore = new GlyphStore;

        DebugCapture debug;
        debug.setForward(false);
        BinItem login = named(QStringLiteral("Login"), QStringLiteral("changed"));
        table.setGlyph(login);
        table.removeGlyph(login);
        QCOMPARE(debug.count(QStringLiteral("item does not exist")), 2);
        QCOMPARE(table.table->rowCount(), 7);
        QCOMPARE(table.glyphs[0].label, QStringLiteral("L"));
        QCOMPARE(f.countNamed(QStringLiteral("Login")), 0);

        table.addGlyph(login);
        QCOMPARE(debug.count(QStringLiteral("item already exists")), 1);
        QCOMPARE(f.countNamed(QStringLiteral("Login")), 0);

        BinItem blue = named(QStringLiteral("Blue"), QStringLiteral("b"));
        table.setGlyph(blue);
        QCOMPARE(f.stored(QStringLiteral("Blue"))->label, QStringLiteral("b"));
        BinItem fresh = named(QStringLiteral("Fresh"));
        table.addGlyph(fresh);
        QCOMPARE(f.countNamed(QStringLiteral("Fresh")), 1);
        QCOMPARE(table.table->rowCount(), 8);
    }

    void rowClickSendsEmptyThenStoredGlyph()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        table.resize(500, 400);
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        QList<BinItem> sent;
        connect(&table, &GlyphWidget::sendSetGlyph, this,
                [&sent](const BinItem& g) { sent.append(g); });
        GlyphFixture::clickRow(table, 0);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[0].mode, EMPTY);
        QCOMPARE(sent[1].name, QStringLiteral("Login"));
        QCOMPARE(sent[1].condition, f.condition.get());
        QCOMPARE(sent[1].id, f.loginId);
        QCOMPARE(sent[1].quantifier, 2);
        // The same row again: no selection change, only the glyph.
        GlyphFixture::clickRow(table, 0);
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent[2].name, QStringLiteral("Login"));
        // A row out of range sends nothing.
        DebugCapture debug;
        debug.setForward(false);
        table.createGlyph(42, 1);
        QCOMPARE(sent.size(), 3);
    }
};

LUMIVANE_TEST(GlyphWidgetTest)
#include "GlyphWidgetTest.moc"
