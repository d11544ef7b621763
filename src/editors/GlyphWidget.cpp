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
#include "core/HandlerGuard.h"
#include "items/EmptyItem.h"

#include <memory>
#include <utility>

namespace {

// The store's own list begins with "WildCard", "DeleteItem" and "Gray",
// which the table leaves out.
constexpr int DEFAULT_GLYPHS = 3;
constexpr int COLUMNS = 8;
constexpr int COLOR_BOX_SIZE = 23;

// A cell widget: the inner widget centred in a wrapper without margins.
std::unique_ptr<WrapWidget> wrap(std::unique_ptr<QWidget> inner)
{
    std::unique_ptr<WrapWidget> wrapper(new WrapWidget(inner.get()));
    auto* layout = new QHBoxLayout(wrapper.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setAlignment(Qt::AlignCenter);
    layout->addWidget(inner.release());
    return wrapper;
}

std::unique_ptr<WrapWidget> colorCell(const QColor& color)
{
    std::unique_ptr<QWidget> box(new ColorBox(color, true));
    box->setFixedSize(COLOR_BOX_SIZE, COLOR_BOX_SIZE);
    return wrap(std::move(box));
}

} // namespace

// The widgets and items of one row, made before any of them goes into the
// table.
struct GlyphWidget::Row
{
    std::unique_ptr<WrapWidget> preview;
    std::unique_ptr<WrapWidget> edge;
    std::unique_ptr<WrapWidget> fill;
    std::unique_ptr<QTableWidgetItem> texts[5];   // name, text, shape, edge width, size
};

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

std::vector<GlyphWidget::Row> GlyphWidget::makeRows(const TList<BinItem>& list) const
{
    std::vector<Row> rows;
    rows.reserve(std::size_t(list.size()));
    for (const BinItem& glyph : list.items) {
        Row row;
        std::unique_ptr<ExampleWidget> example(new ExampleWidget());
        example->setFixedSize(rowHeight - 2, rowHeight - 2);
        example->setItem(&glyph);
        row.preview = wrap(std::move(example));
        row.edge = colorCell(glyph.edgeColor);
        row.fill = colorCell(glyph.fillColor);
        const QString texts[5] = {glyph.name, glyph.label, BinItem::shapeName(glyph.shape),
                                  QString::number(glyph.edgeWidth),
                                  QString::number(GlyphEditorWidget::sizePercent(glyph.sizeFactor))
                                      + QLatin1Char('%')};
        for (int i = 0; i < 5; ++i)
            row.texts[i].reset(new QTableWidgetItem(texts[i]));
        rows.push_back(std::move(row));
    }
    return rows;
}

void GlyphWidget::showRows(std::vector<Row>& rows)
{
    // Only the table's own work from here on: every widget and item is made.
    table->setUpdatesEnabled(false);
    table->setRowCount(0);
    table->setRowCount(int(rows.size()));
    const int textColumns[5] = {nameColumn, textColumn, shapeColumn, edgeWidthColumn, sizeColumn};
    for (int row = 0; row < int(rows.size()); ++row) {
        Row& made = rows[std::size_t(row)];
        table->setRowHeight(row, rowHeight);
        table->setCellWidget(row, previewColumn, made.preview.release());
        table->setCellWidget(row, edgeColorColumn, made.edge.release());
        table->setCellWidget(row, fillColorColumn, made.fill.release());
        for (int i = 0; i < 5; ++i)
            table->setItem(row, textColumns[i], made.texts[i].release());
    }
    for (int column = shapeColumn; column <= sizeColumn; ++column)
        table->setColumnHidden(column, true);
    for (int column = 0; column < COLUMNS; ++column)
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);
    table->setUpdatesEnabled(true);
}

void GlyphWidget::insertGlyphRow()
{
    std::vector<Row> rows = makeRows(glyphs);
    showRows(rows);
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

// Each change below makes the new list and the table's new rows first and
// changes the store, the list and the table only once all of them are made:
// out of memory on the way, all three stay as they were.

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
    BinItem added(glyph);
    if (s) {
        added.id = nextGlyphId;   // the id the store gives it below
        // Room for it first: the store's list then takes it whole or not at all.
        s->glyphs.items.reserve(s->glyphs.items.size() + 1);
    }
    TList<BinItem> next(glyphs);
    next.append(added);
    std::vector<Row> rows = makeRows(next);
    if (s) {
        const int id = nextGlyphId;
        try {
            s->addGlyph(added);
        } catch (...) {
            // Not taken: its id stays free.
            nextGlyphId = id;
            throw;
        }
    }
    glyph.id = added.id;
    glyphs.items.swap(next.items);
    showRows(rows);
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
    TList<BinItem> next(glyphs);
    GlyphEditorWidget::copyShownFields(glyph, next[index]);
    std::vector<Row> rows = makeRows(next);
    if (s) {
        // The shown fields of the store's glyph of that name (its own list
        // first), in place: texts, numbers and colours, nothing to allocate.
        BinItem* stored = nullptr;
        for (TList<BinItem>* list : {&s->glyphs, &s->colorGlyphs}) {
            for (BinItem& g : list->items) {
                if (!stored && g.name == glyph.name)
                    stored = &g;
            }
        }
        if (stored)
            GlyphEditorWidget::copyShownFields(glyph, *stored);
    }
    glyphs.items.swap(next.items);
    showRows(rows);
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
    TList<BinItem> next;
    next.items.reserve(glyphs.items.size());
    for (int i = 0; i < glyphs.size(); ++i) {
        if (i != index)
            next.append(glyphs[i]);
    }
    std::vector<Row> rows = makeRows(next);
    if (s) {
        // The first glyph of that name, searching the own list first.
        TList<BinItem>* list = nullptr;
        int at = -1;
        for (TList<BinItem>* candidate : {&s->glyphs, &s->colorGlyphs}) {
            for (int i = 0; i < candidate->size() && !list; ++i) {
                if (candidate->at(i).name == name) {
                    list = candidate;
                    at = i;
                }
            }
        }
        if (list) {
            TList<BinItem> kept;
            kept.items.reserve(list->items.size());
            for (int i = 0; i < list->size(); ++i) {
                if (i != at)
                    kept.append(list->at(i));
            }
            list->items.swap(kept.items);
        }
    }
    glyphs.items.swap(next.items);
    showRows(rows);
    update();
}

// A click reaches the editor whole or not at all: out of memory the editor
// stays as it was and the user is told.

void GlyphWidget::createGlyph(int row, int)
{
    HandlerGuard::run([&] {
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
    });
}

void GlyphWidget::createEmptyGlyph()
{
    HandlerGuard::run([this] { emit sendSetGlyph(EmptyItem(false, nullptr)); });
}
