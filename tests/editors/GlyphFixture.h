#pragma once

#include <QTableWidget>
#include <QtTest>

#include <memory>

#include "app/ControlWidget.h"
#include "editors/GlyphWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"

// A controller whose store holds, besides the defaults, "Login" (label
// "L", a condition, quantifier 2, edge width 3, circle, 150 %) and "Read"
// (label "R", triangle, 29 %). A table lists them, then the five colours.
struct GlyphFixture {
    GlyphFixture() : control(nullptr), condition(new ParseNode(ParseNode::Test))
    {
        BinItem login = glyph(QStringLiteral("Login"), QStringLiteral("L"));
        login.condition = condition.get();
        login.quantifier = 2;
        login.edgeWidth = 3;
        login.shape = CIRCLE;
        login.fillColor = QColor(200, 40, 40);
        login.sizeFactor = 1.5;
        store()->addGlyph(login);
        loginId = login.id;
        BinItem read = glyph(QStringLiteral("Read"), QStringLiteral("R"));
        read.shape = TRIANGLE;
        read.fillColor = QColor(40, 160, 40);
        read.sizeFactor = 0.29;
        store()->addGlyph(read);
    }

    static BinItem glyph(const QString& name, const QString& label = QString())
    {
        BinItem g(nullptr, nullptr);
        g.name = name;
        g.label = label;
        return g;
    }

    GlyphStore* store() const { return control.glyphStore; }

    // The stored glyphs of that name, own list first.
    QList<const BinItem*> stored(const QString& name) const
    {
        QList<const BinItem*> out;
        for (const TList<BinItem>* list : {&store()->glyphs, &store()->colorGlyphs})
            for (const BinItem& g : list->items)
                if (g.name == name)
                    out << &g;
        return out;
    }

    static QStringList tableNames(const GlyphWidget& table)
    {
        QStringList out;
        for (int row = 0; row < table.table->rowCount(); ++row)
            out << table.table->item(row, table.nameColumn)->text();
        return out;
    }

    // A real click on a row of a shown table: selection change, then click.
    static void clickRow(GlyphWidget& table, int row)
    {
        QTableWidget* t = table.table;
        const QRect r = t->visualRect(t->model()->index(row, table.nameColumn));
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    }

    ControlWidget control;
    std::unique_ptr<ParseNode> condition;   // glyphs share, never own, a condition
    int loginId = 0;
};
