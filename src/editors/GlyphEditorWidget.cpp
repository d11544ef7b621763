#include "editors/GlyphEditorWidget.h"

#include <QComboBox>
#include <QDebug>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "model/GlyphStore.h"
#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/GlyphWidget.h"
#include "items/BinItem.h"

namespace {

constexpr int FIELD_WIDTH = 100;

// A rules-file line separates its fields with "~" and a glyph's fields with
// "," inside "[" .. "]": names and labels cannot hold these.
const QString RESERVED = QStringLiteral(",~]");

} // namespace

GlyphEditorWidget::GlyphEditorWidget(GlyphWidget* glyphTable, ControlWidget* owner,
                                     QWidget* parent)
    : QDialog(parent), standAlone(glyphTable == nullptr), owner(owner), glyphTable(glyphTable),
      execFailures(HandlerGuard::failures())
{
    nameEdit = new QLineEdit(this);
    nameEdit->setMaximumWidth(FIELD_WIDTH);
    labelEdit = new QLineEdit(this);
    labelEdit->setMaximumWidth(FIELD_WIDTH);
    shapeCombo = new QComboBox(this);
    shapeCombo->addItems({QStringLiteral("square"), QStringLiteral("circle"),
                          QStringLiteral("triangle"), QStringLiteral("pentagon")});
    shapeCombo->setMaximumWidth(FIELD_WIDTH);
    edgeBox = new ColorBox(Qt::black, this);
    fillBox = new ColorBox(Qt::white, this);
    sizeBox = new QSpinBox(this);
    sizeBox->setRange(1, 200);
    sizeBox->setValue(100);
    preview = new ExampleWidget(this);
    // The two glyphs are the editor's own: a constructor that throws runs
    // no destructor, so they go here then.
    std::unique_ptr<BinItem> edited(new BinItem(nullptr, nullptr));
    std::unique_ptr<BinItem> asLoaded(new BinItem(nullptr, nullptr));
    glyph = edited.get();
    loaded = asLoaded.get();

    saveButton = new QPushButton(QStringLiteral("save"), this);
    cancelButton = new QPushButton(QStringLiteral("cancel"), this);
    deleteButton = new QPushButton(QStringLiteral("delete"), this);
    deleteButton->setVisible(!standAlone);

    auto* layout = new QGridLayout(this);
    const QString labels[] = {QStringLiteral("Name:"), QStringLiteral("Label:"),
                              QStringLiteral("Shape:"), QStringLiteral("Edge:"),
                              QStringLiteral("Fill:")};
    QWidget* fields[] = {nameEdit, labelEdit, shapeCombo, edgeBox, fillBox};
    for (int row = 0; row < 5; ++row) {
        layout->addWidget(new QLabel(labels[row], this), row, 0);
        layout->addWidget(fields[row], row, 1);
    }
    layout->addWidget(new QLabel(QStringLiteral("Size:"), this), 0, 2);
    layout->addWidget(sizeBox, 0, 3);
    layout->addWidget(new QLabel(QStringLiteral("Example:"), this), 1, 2);
    layout->addWidget(preview, 2, 2, 4, 2);
    auto* buttons = new QHBoxLayout();
    buttons->addWidget(saveButton);
    buttons->addWidget(cancelButton);
    buttons->addWidget(deleteButton);
    layout->addLayout(buttons, 6, 2, 1, 2);

    connect(nameEdit, &QLineEdit::textEdited, this, &GlyphEditorWidget::setName);
    connect(labelEdit, &QLineEdit::textEdited, this, &GlyphEditorWidget::setLabel);
    connect(shapeCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &GlyphEditorWidget::setShape);
    connect(edgeBox, &ColorBox::colorChanged, this, &GlyphEditorWidget::setEdgeColor);
    connect(fillBox, &ColorBox::colorChanged, this, &GlyphEditorWidget::setFillColor);
    connect(sizeBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &GlyphEditorWidget::setSize);
    connect(saveButton, &QPushButton::clicked, this, &GlyphEditorWidget::addGlyph);
    connect(cancelButton, &QPushButton::clicked, this, &GlyphEditorWidget::cancelGlyph);
    connect(deleteButton, &QPushButton::clicked, this, &GlyphEditorWidget::removeGlyph);
    if (glyphTable)
        connect(glyphTable, &GlyphWidget::sendSetGlyph, this, &GlyphEditorWidget::setGlyph);

    showGlyph();
    edited.release();
    asLoaded.release();
}

GlyphEditorWidget::~GlyphEditorWidget()
{
    delete glyph;
    delete loaded;
}

GlyphStore* GlyphEditorWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

int GlyphEditorWidget::sizePercent(double sizeFactor)
{
    // The factor is a percentage divided by 100: 0.29 * 100 is a hair below
    // 29 as a double, which must not show as 28.
    return int(std::floor(sizeFactor * 100.0 + 1e-6));
}

void GlyphEditorWidget::copyShownFields(const BinItem& from, BinItem& to)
{
    to.name = from.name;
    to.label = from.label;
    to.shape = from.shape;
    to.edgeColor = from.edgeColor;
    to.fillColor = from.fillColor;
    to.sizeFactor = from.sizeFactor;
}

QString GlyphEditorWidget::saveProblem(const BinItem& glyph)
{
    if (glyph.name.trimmed().isEmpty())
        return QStringLiteral("Save failed: the glyph has no name");
    for (QChar c : RESERVED) {
        if (glyph.name.contains(c) || glyph.label.contains(c))
            return QStringLiteral("Save failed: a glyph's name and label cannot contain "
                                  "\",\", \"~\" or \"]\"");
    }
    return QString();
}

void GlyphEditorWidget::warnSaveProblem(const QString& problem, QWidget* parent)
{
    MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to save glyph"), problem,
                      QMessageBox::Ok, parent);
}

BinItem GlyphEditorWidget::blankGlyph()
{
    BinItem blank(nullptr, nullptr);
    blank.name.clear();
    blank.label.clear();
    blank.edgeWidth = 0;
    blank.shape = SQUARE;
    blank.edgeColor = Qt::black;
    blank.fillColor = Qt::white;
    blank.sizeFactor = 1.0;
    return blank;
}

int GlyphEditorWidget::exec()
{
    execFailures = HandlerGuard::failures();
    return QDialog::exec();
}

void GlyphEditorWidget::setGlyph(BinItem shown)
{
    // Reached through the table's click, which ends its failure: the copies
    // are made before anything changes, so out of memory the editor stays
    // as it was.
    if (shown.mode != NORMAL) {
        clearGlyph();
        return;
    }
    std::unique_ptr<BinItem> edited(new BinItem(shown));
    std::unique_ptr<BinItem> asLoaded(new BinItem(shown));
    preview->showCopy(ExampleWidget::copyOf(shown));
    delete std::exchange(glyph, edited.release());
    delete std::exchange(loaded, asLoaded.release());
    hasGlyph = true;
    showFields();
    showButtons();
    update();
}

void GlyphEditorWidget::showGlyph()
{
    preview->setItem(glyph);
    showFields();
    showButtons();
}

void GlyphEditorWidget::showFields()
{
    setUpdatesEnabled(false);
    {
        const QSignalBlocker b1(nameEdit);
        const QSignalBlocker b2(labelEdit);
        const QSignalBlocker b3(shapeCombo);
        const QSignalBlocker b4(edgeBox);
        const QSignalBlocker b5(fillBox);
        const QSignalBlocker b6(sizeBox);
        // A field keeps what is typed into it as long as it means the same:
        // rewriting it would drop a space typed before the next word.
        if (nameEdit->text().trimmed() != glyph->name)
            nameEdit->setText(glyph->name);
        if (labelEdit->text().trimmed() != glyph->label)
            labelEdit->setText(glyph->label);
        shapeCombo->setCurrentIndex(glyph->shape);
        edgeBox->setColor(glyph->edgeColor);
        fillBox->setColor(glyph->fillColor);
        sizeBox->setValue(sizePercent(glyph->sizeFactor));
    }
    setUpdatesEnabled(true);
}

void GlyphEditorWidget::showButtons()
{
    const bool modified = isModified();
    saveButton->setText(modified ? QStringLiteral("Modify") : QStringLiteral("Save"));
    saveButton->setEnabled(!glyph->name.isEmpty());
    cancelButton->setEnabled(standAlone || modified);
    deleteButton->setEnabled(glyphExists());
}

bool GlyphEditorWidget::isModified() const
{
    if (!hasGlyph || glyph->name.isEmpty())
        return false;
    return loaded->name != nameEdit->text().trimmed()
           || loaded->fillColor != fillBox->color()
           || loaded->edgeColor != edgeBox->color()
           || loaded->label != labelEdit->text().trimmed()
           || sizePercent(loaded->sizeFactor) != sizeBox->value()
           || loaded->shape != shapeCombo->currentIndex();
}

bool GlyphEditorWidget::glyphExists() const
{
    GlyphStore* s = store();
    if (!s)
        return false;
    for (const BinItem& g : s->glyphs.items) {
        if (g.name == glyph->name)
            return true;
    }
    return false;
}

void GlyphEditorWidget::clearGlyph()
{
    clearGlyph(ExampleWidget::copyOf(blankGlyph()));
}

void GlyphEditorWidget::clearGlyph(std::unique_ptr<BinItem> blankPreview)
{
    // The preview's copy was made ahead: from here on nothing is allocated,
    // the editor empties whole.
    setUpdatesEnabled(false);
    {
        const QSignalBlocker b1(nameEdit);
        const QSignalBlocker b2(labelEdit);
        const QSignalBlocker b3(shapeCombo);
        const QSignalBlocker b4(edgeBox);
        const QSignalBlocker b5(fillBox);
        const QSignalBlocker b6(sizeBox);
        saveButton->setEnabled(false);
        deleteButton->setEnabled(false);
        cancelButton->setEnabled(standAlone);
        if (glyphTable) {
            // Its selection change would only send the empty glyph again.
            const QSignalBlocker b7(glyphTable->table);
            glyphTable->table->clearSelection();
        }
        nameEdit->clear();
        labelEdit->clear();
        shapeCombo->setCurrentIndex(0);
        edgeBox->setColor(Qt::black);
        fillBox->setColor(Qt::white);
        sizeBox->setValue(100);
        // A fresh glyph: nothing of a glyph loaded before (its condition,
        // quantifier or id) may pass into the next one saved. A glyph
        // without lists is assigned without allocating.
        *glyph = *blankPreview;
        *loaded = *glyph;
        preview->showCopy(std::move(blankPreview));
        hasGlyph = false;
    }
    saveButton->setText(isModified() ? QStringLiteral("Modify") : QStringLiteral("Save"));
    setUpdatesEnabled(true);
    update();
}

template <typename Change>
void GlyphEditorWidget::editGlyph(Change&& change)
{
    // The edited glyph is a copy until its preview is made: out of memory
    // the glyph stays as it was, and the field that was edited shows it
    // again.
    HandlerGuard::run([&] {
        try {
            std::unique_ptr<BinItem> edited(new BinItem(*glyph));
            change(*edited);
            preview->showCopy(ExampleWidget::copyOf(*edited));
            delete std::exchange(glyph, edited.release());
        } catch (...) {
            showFields();
            throw;
        }
        showFields();
        showButtons();
        update();
    });
}

void GlyphEditorWidget::setName(QString text)
{
    editGlyph([&](BinItem& g) { g.name = text.trimmed(); });
}

void GlyphEditorWidget::setLabel(QString text)
{
    editGlyph([&](BinItem& g) { g.label = text.trimmed(); });
}

void GlyphEditorWidget::setShape(int shape)
{
    editGlyph([&](BinItem& g) { g.shape = shape; });
}

void GlyphEditorWidget::setThickness(int width)
{
    editGlyph([&](BinItem& g) { g.edgeWidth = width; });
}

void GlyphEditorWidget::setEdgeColor(QColor color)
{
    editGlyph([&](BinItem& g) { g.edgeColor = color; });
}

void GlyphEditorWidget::setFillColor(QColor color)
{
    editGlyph([&](BinItem& g) { g.fillColor = color; });
}

void GlyphEditorWidget::setSize(int percent)
{
    editGlyph([&](BinItem& g) { g.sizeFactor = percent / 100.0; });
}

void GlyphEditorWidget::addGlyph()
{
    HandlerGuard::run([this] { saveGlyph(); });
}

void GlyphEditorWidget::saveGlyph()
{
    const QString problem = saveProblem(*glyph);
    if (!problem.isEmpty()) {
        // The fields stay as typed, for the analyst to mend.
        warnSaveProblem(problem, this);
        return;
    }
    if (glyphTable) {
        // The table changes whole or not at all; the editor's empty preview
        // is made before it does, so that the editor then empties whole.
        // The table's selection changes on the way and empties this editor:
        // the table works on a copy.
        BinItem saved = *glyph;
        std::unique_ptr<BinItem> blank = ExampleWidget::copyOf(blankGlyph());
        if (hasGlyph)
            glyphTable->setGlyph(saved);
        else
            glyphTable->addGlyph(saved);
        clearGlyph(std::move(blank));
        return;
    }

    GlyphStore* s = store();
    if (!s) {
        qDebug() << "item does not exist";
        return;
    }
    if (HandlerGuard::failures() != execFailures) {
        // Something ran out of memory while this dialog was open: what it
        // shows may be a half edit. Nothing is saved; the opener learns of
        // it by the dialog's rejection.
        qDebug() << "glyph not saved: the editor ran out of memory";
        hasGlyph = false;
        reject();
        return;
    }
    if (hasGlyph) {
        if (!s->hasGlyph(*glyph)) {
            qDebug() << "item does not exist";
            return;
        }
        // The store's glyph with what the editor shows, copied first; then
        // its shown fields change in place, which allocates nothing.
        std::unique_ptr<BinItem> stored(new BinItem(s->findGlyph(glyph->name)));
        copyShownFields(*glyph, *stored);
        for (TList<BinItem>* list : {&s->glyphs, &s->colorGlyphs}) {
            auto it = std::find_if(list->items.begin(), list->items.end(),
                                   [&](const BinItem& g) { return g.name == glyph->name; });
            if (it != list->items.end()) {
                copyShownFields(*glyph, *it);
                break;
            }
        }
        delete std::exchange(glyph, stored.release());
    } else {
        if (s->hasGlyph(*glyph) || glyph->name == s->noneGlyph.name) {
            qDebug() << "item already exists";
            return;
        }
        // Room first: the store takes the glyph whole or not at all, and
        // its id stays free when it does not.
        s->glyphs.items.reserve(s->glyphs.items.size() + 1);
        const int id = nextGlyphId;
        const int ownId = glyph->id;
        try {
            s->addGlyph(*glyph);
        } catch (...) {
            nextGlyphId = id;
            glyph->id = ownId;
            throw;
        }
    }
    hasGlyph = false;
    accept();
}

void GlyphEditorWidget::cancelGlyph()
{
    HandlerGuard::run([this] {
        if (glyphTable) {
            clearGlyph();
        } else {
            hasGlyph = false;
            reject();
        }
    });
}

void GlyphEditorWidget::removeGlyph()
{
    HandlerGuard::run([this] {
        if (!glyphTable)
            return;
        BinItem removed = *glyph;
        std::unique_ptr<BinItem> blank = ExampleWidget::copyOf(blankGlyph());
        glyphTable->removeGlyph(removed);
        clearGlyph(std::move(blank));
    });
}
