#include "TestRegistry.h"
#include "DebugCapture.h"
#include "GlyphFixture.h"
#include "../app/MessageRecorder.h"

#include <QHeaderView>

#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/WrapWidget.h"

namespace {

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
        }
        QCOMPARE(headers, QStringList({"Glyph:", "Name:", "Text:", "Shape:", "Edge Color:",
                                       "Fill Color", "Edge Width:", "Size:"}));
        for (int row = 0; row < t->rowCount(); ++row) {
            QCOMPARE(t->rowHeight(row), 50);
            auto* example = innerOf<ExampleWidget>(t, row, 0);
            QCOMPARE(example->size(), QSize(48, 48));
            QCOMPARE(example->item->name, table.glyphs[row].name);
            auto* fill = innerOf<ColorBox>(t, row, 5);
            QVERIFY(fill->isReadOnly() && fill->size() == QSize(23, 23));
            QCOMPARE(fill->color(), table.glyphs[row].fillColor);
        }
        // Hidden cells: shape name, edge width, size factor × 100 cut, "%".
        const QStringList login = {t->item(0, 2)->text(), t->item(0, 3)->text(),
                                   t->item(0, 6)->text(), t->item(0, 7)->text()};
        QCOMPARE(login, QStringList({"L", "Circle", "3", "150%"}));
        QCOMPARE(t->item(1, 7)->text(), QStringLiteral("29%"));
    }

    // New names go through the store (next id), appended with the last
    // row selected; a name the table or either store list has is refused.
    void add_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("added");
        QTest::newRow("new") << "Write" << true;
        for (const char* name : {"Login", "Blue", "WildCard", "DeleteItem", "Gray", "None", "Late"})
            QTest::newRow(name) << QString::fromLatin1(name) << false;
    }

    void add()
    {
        QFETCH(QString, name);
        QFETCH(bool, added);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        BinItem late = GlyphFixture::glyph(QStringLiteral("Late"));
        f.store()->addGlyph(late);   // after the table took its copy
        const int own = f.store()->glyphs.size();
        const int next = nextGlyphId;
        DebugCapture debug;
        debug.setForward(false);
        BinItem glyph = GlyphFixture::glyph(name);
        table.addGlyph(glyph);
        QCOMPARE(debug.contains(QStringLiteral("item already exists")), !added);
        QCOMPARE(f.store()->glyphs.size(), own + added);
        QCOMPARE(f.stored(name).size(), name == QLatin1String("None") ? 0 : 1);   // kept apart
        QCOMPARE(table.table->rowCount(), 7 + added);
        if (added) {
            QCOMPARE(f.stored(name).first()->id, next);
            QCOMPARE(table.glyphs.last().id, next);
            QCOMPARE(table.table->currentRow(), 7);
        }
    }

    // Replacing changes only the shown fields, in the table and the store.
    void replace()
    {
        for (const QString& name : {QStringLiteral("Login"), QStringLiteral("Blue")}) {
            GlyphFixture f;
            GlyphWidget table(&f.control);
            const BinItem before = *f.stored(name).first();
            BinItem edited = GlyphFixture::glyph(name, QStringLiteral("new"));
            edited.fillColor = QColor(1, 2, 3);
            edited.sizeFactor = 0.5;
            edited.edgeWidth = 9;
            table.setGlyph(edited);
            const BinItem* after = f.stored(name).first();
            QCOMPARE(after->label, QStringLiteral("new"));
            QCOMPARE(after->fillColor, QColor(1, 2, 3));
            QCOMPARE(after->sizeFactor, 0.5);
            QCOMPARE(after->condition, before.condition);
            QCOMPARE(after->quantifier, before.quantifier);
            QCOMPARE(after->id, before.id);
            QCOMPARE(after->edgeWidth, before.edgeWidth);
            const int row = GlyphFixture::tableNames(table).indexOf(name);
            QCOMPARE(table.glyphs[row].id, before.id);
            QCOMPARE(table.table->item(row, 7)->text(), QStringLiteral("50%"));
        }
    }

    // Exactly the first stored glyph of the name goes (own list, then
    // colours), also when both lists hold one.
    void remove_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("twin");
        QTest::newRow("own glyph") << "Read" << false;
        QTest::newRow("colour glyph") << "Yellow" << false;
        QTest::newRow("in both lists") << "Red" << true;
    }

    void remove()
    {
        QFETCH(QString, name);
        QFETCH(bool, twin);
        GlyphFixture f;
        if (twin)
            f.store()->glyphs.append(GlyphFixture::glyph(name, QStringLiteral("own")));
        const int total = f.store()->glyphs.size() + f.store()->colorGlyphs.size();
        GlyphWidget table(&f.control);
        BinItem gone = GlyphFixture::glyph(name);
        table.removeGlyph(gone);
        QCOMPARE(f.store()->glyphs.size() + f.store()->colorGlyphs.size(), total - 1);
        QCOMPARE(f.stored(name).size(), int(twin));
        QCOMPARE(GlyphFixture::tableNames(table).count(name), int(twin));
        if (twin)
            QCOMPARE(f.stored(name).first()->label, QString());
    }

    // ",", "~" and "]" cannot stand in a rules file; a glyph needs a name.
    void badNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("mention");
        QTest::newRow("comma in name") << "a,b" << QString() << "\",\"";
        QTest::newRow("tilde in name") << "a~b" << QString() << "\"~\"";
        QTest::newRow("bracket in label") << "ok" << "x]" << "\"]\"";
        QTest::newRow("blank name") << "   " << QString() << "no name";
    }

    void badNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, label);
        QFETCH(QString, mention);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        MessageRecorder boxes;
        BinItem bad = GlyphFixture::glyph(name, label);
        table.addGlyph(bad);
        BinItem badLogin = GlyphFixture::glyph(QStringLiteral("Login"), label);
        if (!label.isEmpty())
            table.setGlyph(badLogin);
        QCOMPARE(boxes.requests.size(), label.isEmpty() ? 1 : 2);
        for (const auto& r : boxes.requests) {
            QCOMPARE(r.title, QStringLiteral("Failed to save glyph"));
            QVERIFY2(r.icon == QMessageBox::Warning && r.text.contains(mention), qPrintable(r.text));
        }
        QCOMPARE(f.store()->glyphs.size(), 5);
        QCOMPARE(f.stored(QStringLiteral("Login")).first()->label, QStringLiteral("L"));
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
        BinItem login = GlyphFixture::glyph(QStringLiteral("Login"), QStringLiteral("changed"));
        table.setGlyph(login);
        table.removeGlyph(login);
        BinItem ghost = GlyphFixture::glyph(QStringLiteral("Ghost"));
        table.removeGlyph(ghost);
        QCOMPARE(debug.count(QStringLiteral("item does not exist")), 3);
        QCOMPARE(table.table->rowCount(), 7);
        QCOMPARE(table.glyphs[0].label, QStringLiteral("L"));
        BinItem blue = GlyphFixture::glyph(QStringLiteral("Blue"), QStringLiteral("b"));
        table.setGlyph(blue);
        QCOMPARE(f.stored(QStringLiteral("Blue")).first()->label, QStringLiteral("b"));
    }

    // A click sends the empty item (selection change), then the stored
    // glyph itself, condition, quantifier and id included.
    void rowClick()
    {
        GlyphFixture f;
        GlyphWidget table(&f.control);
        table.resize(500, 400);
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        QList<BinItem> sent;
        connect(&table, &GlyphWidget::sendSetGlyph, this, [&sent](const BinItem& g) { sent << g; });
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
