#pragma once

#include <QWidget>

#include <vector>

#include "core/TList.h"
#include "items/BinItem.h"

class ControlWidget;
class GlyphStore;
class QTableWidget;

// The table of the glyphs the analyst may edit: the glyph store's own
// glyphs (without the three defaults) and its colour glyphs, each row with
// a preview, the name and the label. The table works on a copy of the
// store's lists taken at construction and keeps the store in step through
// its add, replace and remove operations; a click on a row hands that
// row's glyph to the editor above.
class GlyphWidget : public QWidget
{
    Q_OBJECT

public:
    GlyphWidget(ControlWidget* owner, QWidget* parent = nullptr);

    // Refills the table from `glyphs`. Every row is made before the table
    // changes: out of memory it shows what it showed.
    void insertGlyphRow();

    TList<BinItem> glyphs;       // row i shows glyphs[i]
    QTableWidget* table = nullptr;
    int rowHeight = 50;
    int previewColumn = 0;
    int nameColumn = 1;
    int textColumn = 2;
    int shapeColumn = 3;
    int edgeColorColumn = 4;
    int fillColorColumn = 5;
    int edgeWidthColumn = 6;
    int sizeColumn = 7;
    ControlWidget* owner = nullptr;

signals:
    void sendSetGlyph(BinItem glyph);

    // The slots below change the table's list, the store and the table
    // together: out of memory (std::bad_alloc) all three stay as they were.
    // The table's own clicks end their failure themselves.
public slots:
    // Adds a glyph of a new name to the table and the store (which gives it
    // the next id). Gets the stored glyph's id.
    void addGlyph(BinItem& glyph);
    // Overwrites the shown fields (name, label, shape, colours, size) of the
    // glyph of that name in the table and the store.
    void setGlyph(BinItem& glyph);
    // Removes the glyph of that name from the table and the store.
    void removeGlyph(BinItem& glyph);
    void createGlyph(int row, int column);
    void createEmptyGlyph();

private:
    struct Row;
    GlyphStore* store() const;
    // The rows of a list, not yet in the table.
    std::vector<Row> makeRows(const TList<BinItem>& list) const;
    // Puts made rows into the table in place of its rows.
    void showRows(std::vector<Row>& rows);
    int indexOf(const QString& name) const;
    void selectLastRow();
};
