#include "TestRegistry.h"
#include "DebugCapture.h"
#include "GlyphFixture.h"
#include "../app/MessageRecorder.h"

#include <QHeaderView>

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
    auto* wrap = dynamic_cast<WrapWidget*>(table->cellWidget(row, column));
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
        QCOMPARE(GlyphFixture::tableNames(table),
                 QStringList({"Login", "Read", "Blue", "Purple", "Green", "Yellow", "Red"}));
        QStringList headers;
        for (int c = 0; c < t->columnCount(); ++c) {
            headers << t->horizontalHeaderItem(c)->text();
            QCOMPARE(t->isColumnHidden(c), c >= 3);
            QCOMPARE(t->horizontalHeader()->sectionResizeMode(c), QHeaderView::Stretch);
        }
        QCOMPARE(headers, QStringList({"Glyph:", "Name:", "Text:", "Shape:", "Edge Color:",
                                       "Fill Color", "Edge Width:", "Size:"}));
        for (int row = 0; row < t->rowCount(); ++row) {
            QCOMPARE(t->rowHeight(row), 50);
            auto* example = innerOf<ExampleWidget>(t, row, 0);
            QVERIFY(example);
            QCOMPARE(example->size(), QSize(48, 48));
            QCOMPARE(example->item->name, table.glyphs[row].name);
            auto* fill = innerOf<ColorBox>(t, row, 5);
            QVERIFY(fill && fill->isReadOnly());
            QCOMPARE(fill->size(), QSize(23, 23));
            QCOMPARE(fill->color(), table.glyphs[row].fillColor);
            QCOMPARE(innerOf<ColorBox>(t, row, 4)->color(), table.glyphs[row].edgeColor);
        }
        // Hidden cells: shape name, edge width, size factor × 100 cut, "%".
        const QStringList login = {t->item(0, 2)->text(), t->item(0, 3)->text(),
                                   t->item(0, 6)->text(), t->item(0, 7)->text()};
        QCOMPARE(login, QStringList({"L", "Circle", "3", "150%"}));
        QCOMPARE(t->item(1, 7)->text(), QStringLiteral("29%"));
    }

    // Added through the store: the next id, appended, last row selected.
    void addGetsNextId()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        const int next = nextGlyphId;
        BinItem a = named(QStringLiteral("Write"));
        BinItem b = named(QStringLiteral("Close"));
        table.addGlyph(a);
        table.addGlyph(b);
        QCOMPARE(f.stored(QStringLiteral("Write"))->id, next);
        QCOMPARE(f.stored(QStringLiteral("Close"))->id, next + 1);
        QCOMPARE(table.glyphs.last().id, next + 1);
        QCOMPARE(GlyphFixture::tableNames(table).mid(7), QStringList({"Write", "Close"}));
        QCOMPARE(table.table->currentRow(), 8);
    }

    // A name the table or either list of the store has is refused.
    void duplicatesRefused_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : {"Login", "Blue", "WildCard", "DeleteItem", "Gray", "None", "Late"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void duplicatesRefused()
    {
        QFETCH(QString, name);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        BinItem late = named(QStringLiteral("Late"));
        f.store()->addGlyph(late);   // after the table took its copy
        const int own = f.store()->glyphs.size();
        const int next = nextGlyphId;
        DebugCapture debug;
        debug.setForward(false);
        BinItem again = named(name);
        table.addGlyph(again);
        QCOMPARE(debug.count(QStringLiteral("item already exists")), 1);
        QCOMPARE(f.store()->glyphs.size(), own);
        QCOMPARE(f.store()->colorGlyphs.size(), 5);
        QCOMPARE(table.table->rowCount(), 7);
        QCOMPARE(nextGlyphId, next);
    }

    // Replacing changes only the shown fields, in the table and the store.
    void replaceKeepsHiddenFields_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("own glyph") << QStringLiteral("Login");
        QTest::newRow("colour glyph") << QStringLiteral("Blue");
    }

    void replaceKeepsHiddenFields()
    {
        QFETCH(QString, name);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        const BinItem before = *f.stored(name);
        BinItem edited = named(name, QStringLiteral("new"));
        edited.fillColor = QColor(1, 2, 3);
        edited.shape = PENTAGON;
        edited.sizeFactor = 0.5;
        edited.edgeWidth = 9;
        edited.id = 999;
        table.setGlyph(edited);
        const BinItem* after = f.stored(name);
        QCOMPARE(after->label, QStringLiteral("new"));
        QCOMPARE(after->fillColor, QColor(1, 2, 3));
        QCOMPARE(after->shape, PENTAGON);
        QCOMPARE(after->sizeFactor, 0.5);
        QCOMPARE(after->condition, before.condition);
        QCOMPARE(after->quantifier, before.quantifier);
        QCOMPARE(after->id, before.id);
        QCOMPARE(after->edgeWidth, before.edgeWidth);
        const int row = GlyphFixture::tableNames(table).indexOf(name);
        QCOMPARE(table.glyphs[row].id, before.id);
        QCOMPARE(table.table->item(row, 7)->text(), QStringLiteral("50%"));
    }

    // Exactly the first stored glyph of the name goes (own list, then
    // colours), also when both lists hold one.
    void removeByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("own");
        QTest::addColumn<int>("colours");
        QTest::addColumn<int>("left");
        QTest::newRow("own glyph") << QStringLiteral("Read") << 4 << 5 << 0;
        QTest::newRow("colour glyph") << QStringLiteral("Yellow") << 5 << 4 << 0;
        QTest::newRow("in both lists") << QStringLiteral("Red") << 5 << 5 << 1;
    }

    void removeByName()
    {
        QFETCH(QString, name);
        QFETCH(int, own);
        QFETCH(int, colours);
        QFETCH(int, left);
        GlyphFixture f;
        if (left)
            f.store()->glyphs.append(named(name, QStringLiteral("own")));
        GlyphWidget table(&f.control);
        BinItem gone = named(name);
        table.removeGlyph(gone);
        QCOMPARE(f.countNamed(name), left);
        QCOMPARE(f.store()->glyphs.size(), own);
        QCOMPARE(f.store()->colorGlyphs.size(), colours);
        QCOMPARE(GlyphFixture::tableNames(table).count(name), left);
        if (left)
            QCOMPARE(f.stored(name)->label, QString());
    }

    // ",", "~" and "]" cannot stand in a rules file; a glyph needs a name.
    void badNamesRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("mention");
        QTest::newRow("comma in name") << "a,b" << QString() << "\",\"";
        QTest::newRow("tilde in name") << "a~b" << QString() << "\"~\"";
        QTest::newRow("bracket in label") << "ok" << "x]" << "\"]\"";
        QTest::newRow("comma in label") << "ok" << "1,2" << "\",\"";
        QTest::newRow("empty name") << QString() << QString() << "no name";
        QTest::newRow("blank name") << "   " << QString() << "no name";
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

    // A load replaces the store under the open table: what the new store
    // lacks is left alone, what it has changes there; unknown names too.
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
        BinItem ghost = named(QStringLiteral("Ghost"));
        table.removeGlyph(ghost);
        QCOMPARE(debug.count(QStringLiteral("item does not exist")), 3);
        QCOMPARE(table.table->rowCount(), 7);
        QCOMPARE(table.glyphs[0].label, QStringLiteral("L"));
        table.addGlyph(login);
        QCOMPARE(debug.count(QStringLiteral("item already exists")), 1);
        QCOMPARE(f.countNamed(QStringLiteral("Login")), 0);

        BinItem blue = named(QStringLiteral("Blue"), QStringLiteral("b"));
        table.setGlyph(blue);
        QCOMPARE(f.stored(QStringLiteral("Blue"))->label, QStringLiteral("b"));
    }

    // A click sends the empty item (selection change), then the stored
    // glyph itself: condition, quantifier and id included.
    void rowClick()
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
        QCOMPARE(sent[1].condition, f.condition.get());
        QCOMPARE(sent[1].id, f.loginId);
        QCOMPARE(sent[1].quantifier, 2);
    }
};

LUMIVANE_TEST(GlyphWidgetTest)
#include "GlyphWidgetTest.moc"
