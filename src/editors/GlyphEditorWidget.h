#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class BinItem;
class ColorBox;
class ControlWidget;
class ExampleWidget;
class GlyphStore;
class GlyphWidget;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The editor of one glyph: name, label, shape, edge and fill colour and
// size, with a live preview. Above a glyph table it edits the table's
// glyphs and stays open; alone (opened by the pattern editor) it adds or
// replaces a glyph of the store and closes, Accepted on save and Rejected
// on cancel, after which the opener copies `glyph`.
//
// Every handler ends its own running out of memory (std::bad_alloc) and
// leaves the editor, the table and the store whole: an edit of a field puts
// the field back, a save or a delete changes the table and the store
// together or not at all. Alone, run by exec(), the editor saves nothing
// once anything ran out of memory while it was open; it is rejected
// instead.
class GlyphEditorWidget : public QDialog
{
    Q_OBJECT

public:
    GlyphEditorWidget(GlyphWidget* glyphTable, ControlWidget* owner, QWidget* parent = nullptr);
    ~GlyphEditorWidget() override;

    GlyphEditorWidget(const GlyphEditorWidget&) = delete;
    GlyphEditorWidget& operator=(const GlyphEditorWidget&) = delete;

    // Shows the glyph in the fields and the preview and sets the buttons.
    void showGlyph();
    // Empties the editor: nothing loaded, a blank plain glyph.
    void clearGlyph();
    int exec() override;
    // A loaded glyph whose fields were edited.
    bool isModified() const;
    // The glyph store's own list has a glyph of the edited glyph's name.
    bool glyphExists() const;

    // The size box's value for a size factor: the factor times 100, cut to
    // a whole number (1.15 is 115 although its double is a hair below).
    static int sizePercent(double sizeFactor);
    // Copies what this editor shows (name, label, shape, colours, size)
    // from one glyph into another; everything else of `to` stays.
    static void copyShownFields(const BinItem& from, BinItem& to);
    // Why a glyph cannot be saved (no name, or a name or label holding a
    // character the rules file reserves), or an empty text when it can.
    static QString saveProblem(const BinItem& glyph);
    // Shows the warning for saveProblem's text.
    static void warnSaveProblem(const QString& problem, QWidget* parent);
    // The glyph of an empty editor.
    static BinItem blankGlyph();

    QLineEdit* nameEdit = nullptr;
    QLineEdit* labelEdit = nullptr;
    QComboBox* shapeCombo = nullptr;
    ColorBox* edgeBox = nullptr;
    ColorBox* fillBox = nullptr;
    QSpinBox* sizeBox = nullptr;
    ExampleWidget* preview = nullptr;
    BinItem* glyph = nullptr;          // owned; the edited glyph
    QPushButton* saveButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* deleteButton = nullptr;
    bool hasGlyph = false;             // a loaded glyph: saving replaces it
    bool standAlone = false;           // no glyph table
    ControlWidget* owner = nullptr;
    GlyphWidget* glyphTable = nullptr;

public slots:
    void setGlyph(BinItem glyph);
    void setName(QString text);
    void setLabel(QString text);
    void setShape(int shape);
    void setThickness(int width);
    void setEdgeColor(QColor color);
    void setFillColor(QColor color);
    void setSize(int percent);
    void addGlyph();
    void cancelGlyph();
    void removeGlyph();

private:
    GlyphStore* store() const;
    // The fields show the glyph (signals blocked); allocates nothing.
    void showFields();
    // The save button's text and the buttons' states.
    void showButtons();
    // clearGlyph with the preview's blank copy made ahead: allocates nothing.
    void clearGlyph(std::unique_ptr<BinItem> blankPreview);
    // A field's edit: `change` is applied to a copy of the glyph, which
    // replaces it once its preview is made.
    template <typename Change>
    void editGlyph(Change&& change);
    void saveGlyph();

    BinItem* loaded = nullptr;   // owned; the glyph as loaded, to tell edits apart
    // HandlerGuard::failures() when exec() began.
    unsigned long execFailures = 0;
};
