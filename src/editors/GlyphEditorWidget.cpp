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

#include <cmath>

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
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
    : QDialog(parent), standAlone(glyphTable == nullptr), owner(owner), glyphTable(glyphTable)
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
    glyph = new BinItem(nullptr, nullptr);
    loaded = new BinItem(nullptr, nullptr);

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

void GlyphEditorWidget::setGlyph(BinItem shown)
{
    if (shown.mode != NORMAL) {
        clearGlyph();
        hasGlyph = false;
    } else {
        *glyph = shown;
        *loaded = shown;
        hasGlyph = true;
    }
    showGlyph();
    update();
}

void GlyphEditorWidget::showGlyph()
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
        preview->setItem(glyph);
    }
    const bool modified = isModified();
    saveButton->setText(modified ? QStringLiteral("Modify") : QStringLiteral("Save"));
    saveButton->setEnabled(!glyph->name.isEmpty());
    cancelButton->setEnabled(standAlone || modified);
    deleteButton->setEnabled(glyphExists());
    setUpdatesEnabled(true);
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
        // quantifier or id) may pass into the next one saved.
        *glyph = BinItem(nullptr, nullptr);
        glyph->name.clear();
        glyph->label.clear();
        glyph->edgeWidth = 0;
        glyph->shape = SQUARE;
        glyph->edgeColor = Qt::black;
        glyph->fillColor = Qt::white;
        glyph->sizeFactor = 1.0;
        *loaded = *glyph;
        preview->setItem(glyph);
        hasGlyph = false;
    }
    saveButton->setText(isModified() ? QStringLiteral("Modify") : QStringLiteral("Save"));
    setUpdatesEnabled(true);
    update();
}

void GlyphEditorWidget::setName(QString text)
{
    glyph->name = text.trimmed();
    showGlyph();
    update();
}

void GlyphEditorWidget::setLabel(QString text)
{
    glyph->label = text.trimmed();
    showGlyph();
    update();
}

void GlyphEditorWidget::setShape(int shape)
{
    glyph->shape = shape;
    showGlyph();
    update();
}

void GlyphEditorWidget::setThickness(int width)
{
    glyph->edgeWidth = width;
    showGlyph();
    update();
}

void GlyphEditorWidget::setEdgeColor(QColor color)
{
    glyph->edgeColor = color;
    showGlyph();
    update();
}

void GlyphEditorWidget::setFillColor(QColor color)
{
    glyph->fillColor = color;
    showGlyph();
    update();
}

void GlyphEditorWidget::setSize(int percent)
{
    glyph->sizeFactor = percent / 100.0;
    showGlyph();
    update();
}

void GlyphEditorWidget::addGlyph()
{
    const QString problem = saveProblem(*glyph);
    if (!problem.isEmpty()) {
        // The fields stay as typed, for the analyst to mend.
        warnSaveProblem(problem, this);
        return;
    }
    if (glyphTable) {
        // The table's selection changes on the way and empty this editor:
        // the table works on a copy.
        BinItem saved = *glyph;
        if (hasGlyph)
            glyphTable->setGlyph(saved);
        else
            glyphTable->addGlyph(saved);
        hasGlyph = false;
        clearGlyph();
        return;
    }

    GlyphStore* s = store();
    if (!s) {
        qDebug() << "item does not exist";
        return;
    }
    if (hasGlyph) {
        if (!s->hasGlyph(*glyph)) {
            qDebug() << "item does not exist";
            return;
        }
        BinItem stored = s->findGlyph(glyph->name);
        copyShownFields(*glyph, stored);
        s->setGlyph(stored);
        *glyph = stored;
    } else {
        if (s->hasGlyph(*glyph) || glyph->name == s->noneGlyph.name) {
            qDebug() << "item already exists";
            return;
        }
        s->addGlyph(*glyph);
    }
    hasGlyph = false;
    accept();
}

void GlyphEditorWidget::cancelGlyph()
{
    if (glyphTable) {
        clearGlyph();
        hasGlyph = false;
    } else {
        hasGlyph = false;
        reject();
    }
}

void GlyphEditorWidget::removeGlyph()
{
    if (!glyphTable)
        return;
    BinItem removed = *glyph;
    glyphTable->removeGlyph(removed);
    clearGlyph();
    hasGlyph = false;
}
