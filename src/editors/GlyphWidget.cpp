#include "editors/GlyphWidget.h"

#include <QDebug>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QTableWidget>

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/WrapWidget.h"
#include "items/EmptyItem.h"

namespace {

// The store's own list begins with "WildCard", "DeleteItem" and "Gray",
// which the table leaves out.
constexpr int DEFAULT_GLYPHS = 3;
constexpr int COLUMNS = 8;
constexpr int COLOR_BOX_SIZE = 23;

// A cell widget: the inner widget centred in a wrapper without margins.
WrapWidget* wrap(QWidget* inner)
{
    auto* wrapper = new WrapWidget(inner);
    auto* layout = new QHBoxLayout(wrapper);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setAlignment(Qt::AlignCenter);
    layout->addWidget(inner);
    return wrapper;
}

QTableWidgetItem* textCell(const QString& text)
{
    return new QTableWidgetItem(text);
}

} // namespace

GlyphWidget::GlyphWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent), owner(owner)
{
    if (GlyphStore* s = store()) {
        glyphs = s->glyphs.mid(DEFAULT_GLYPHS);
        glyphs.append(s->colorGlyphs);
    }

    table = new QTableWidget(this);
    table->setColumnCount(COLUMNS);
    table->setHorizontalHeaderLabels({QStringLiteral("Glyph:"), QStringLiteral("Name:"),
                                      QStringLiteral("Text:"), QStringLiteral("Shape:"),
                                      QStringLiteral("Edge Color:"), QStringLiteral("Fill Color"),
                                      QStringLiteral("Edge Width:"), QStringLiteral("Size:")});
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The cells only show the glyphs; the editor above changes them.
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setAlternatingRowColors(true);
    table->setShowGrid(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);

    auto* layout = new QGridLayout(this);
    layout->setSpacing(1);
    layout->addWidget(table, 0, 0);

    connect(table, &QTableWidget::itemSelectionChanged, this, &GlyphWidget::createEmptyGlyph);
    connect(table, &QTableWidget::cellClicked, this, &GlyphWidget::createGlyph);

    insertGlyphRow();
}

GlyphStore* GlyphWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

void GlyphWidget::insertGlyphRow()
{
    table->setUpdatesEnabled(false);
    table->setRowCount(0);
    table->setRowCount(glyphs.size());
    for (int row = 0; row < glyphs.size(); ++row) {
        const BinItem& glyph = glyphs[row];
        table->setRowHeight(row, rowHeight);

        auto* example = new ExampleWidget();
        example->setFixedSize(rowHeight - 2, rowHeight - 2);
        example->setItem(&glyph);
        table->setCellWidget(row, previewColumn, wrap(example));

        table->setItem(row, nameColumn, textCell(glyph.name));
        table->setItem(row, textColumn, textCell(glyph.label));
        table->setItem(row, shapeColumn, textCell(BinItem::shapeName(glyph.shape)));

        auto* edge = new ColorBox(glyph.edgeColor, true);
        edge->setFixedSize(COLOR_BOX_SIZE, COLOR_BOX_SIZE);
        table->setCellWidget(row, edgeColorColumn, wrap(edge));
        auto* fill = new ColorBox(glyph.fillColor, true);
        fill->setFixedSize(COLOR_BOX_SIZE, COLOR_BOX_SIZE);
        table->setCellWidget(row, fillColorColumn, wrap(fill));

        table->setItem(row, edgeWidthColumn, textCell(QString::number(glyph.edgeWidth)));
        table->setItem(row, sizeColumn,
                       textCell(QString::number(GlyphEditorWidget::sizePercent(glyph.sizeFactor))
                                + QLatin1Char('%')));
    }
    for (int column = shapeColumn; column <= sizeColumn; ++column)
        table->setColumnHidden(column, true);
    for (int column = 0; column < COLUMNS; ++column)
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);
    table->setUpdatesEnabled(true);
}

int GlyphWidget::indexOf(const QString& name) const
{
    for (int i = 0; i < glyphs.size(); ++i) {
        if (glyphs[i].name == name)
            return i;
    }
    return -1;
}

void GlyphWidget::selectLastRow()
{
    if (table->rowCount() > 0)
        table->selectRow(table->rowCount() - 1);
}

void GlyphWidget::addGlyph(BinItem& glyph)
{
    const QString problem = GlyphEditorWidget::saveProblem(glyph);
    if (!problem.isEmpty()) {
        GlyphEditorWidget::warnSaveProblem(problem, this);
        return;
    }
    GlyphStore* s = store();
    // A second glyph of a name would take the first one's edits: the name
    // must be new to the table and to both of the store's lists.
    if (indexOf(glyph.name) >= 0
        || (s && (s->hasGlyph(glyph) || glyph.name == s->noneGlyph.name))) {
        qDebug() << "item already exists";
        return;
    }
    if (s)
        s->addGlyph(glyph);
    glyphs.append(glyph);
    insertGlyphRow();
    selectLastRow();
    update();
}

void GlyphWidget::setGlyph(BinItem& glyph)
{
    const QString problem = GlyphEditorWidget::saveProblem(glyph);
    if (!problem.isEmpty()) {
        GlyphEditorWidget::warnSaveProblem(problem, this);
        return;
    }
    GlyphStore* s = store();
    const int index = indexOf(glyph.name);
    // A load replaces the store under an open table: its glyphs may be gone.
    if (index < 0 || (s && !s->hasGlyph(glyph))) {
        qDebug() << "item does not exist";
        return;
    }
    GlyphEditorWidget::copyShownFields(glyph, glyphs[index]);
    if (s) {
        BinItem stored = s->findGlyph(glyph.name);
        GlyphEditorWidget::copyShownFields(glyph, stored);
        s->setGlyph(stored);
    }
    insertGlyphRow();
    selectLastRow();
    update();
}

void GlyphWidget::removeGlyph(BinItem& glyph)
{
    GlyphStore* s = store();
    const int index = indexOf(glyph.name);
    if (index < 0 || (s && !s->hasGlyph(glyph))) {
        qDebug() << "item does not exist";
        return;
    }
    const QString name = glyph.name;   // `glyph` may be one of ours
    glyphs.items.erase(glyphs.items.begin() + index);
    if (s) {
        bool erased = false;
        for (TList<BinItem>* list : {&s->glyphs, &s->colorGlyphs}) {
            for (auto it = list->items.begin(); it != list->items.end() && !erased; ++it) {
                if (it->name == name) {
                    list->items.erase(it);
                    erased = true;
                    break;
                }
            }
            if (erased)
                break;
        }
    }
    insertGlyphRow();
    update();
}

void GlyphWidget::createGlyph(int row, int)
{
    if (row < 0 || row >= glyphs.size()) {
        qDebug() << "item does not exist";
        return;
    }
    if (glyphs[row].name == QLatin1String("Wildcard")) {
        createEmptyGlyph();
        return;
    }
    // The stored glyph itself, condition, quantifier, id and edge width
    // included: saving it back changes only what the editor shows.
    emit sendSetGlyph(glyphs[row]);
}

void GlyphWidget::createEmptyGlyph()
{
    emit sendSetGlyph(EmptyItem(false, nullptr));
}
