#include "ActionSweep.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/GlyphWidget.h"
#include "editors/WrapWidget.h"
#include "items/BinItem.h"
#include "model/GlyphStore.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

// Every allocation of an entry of the user's into the glyph window (a
// click on a row, a typed character, a shape or size picked, "save",
// "cancel" and "delete") and into the glyph editor alone (its "save"
// allocates nothing of the program's) fails in turn.
// Nothing gets out; the store's glyphs, the table (its list and every row)
// and the editor (fields, glyph, buttons, preview) are as before the entry
// or as after one that never failed, never a mix; and the entry done again
// gives what it gives a window that never failed.

namespace {

QString glyphText(const BinItem& g)
{
    return actionsweep::line(g.name, g.label, g.shape, g.edgeColor.name(), g.fillColor.name(), g.sizeFactor,
                             g.edgeWidth, g.id, g.mode);
}

QString previewText(const QWidget* cell)
{
    const auto* wrapper = dynamic_cast<const WrapWidget*>(cell);
    const auto* example = wrapper ? dynamic_cast<const ExampleWidget*>(wrapper->inner) : nullptr;
    return example && example->item ? glyphText(*example->item) : QStringLiteral("no preview");
}

QString colorText(const QWidget* cell)
{
    const auto* wrapper = dynamic_cast<const WrapWidget*>(cell);
    const auto* box = wrapper ? qobject_cast<const ColorBox*>(wrapper->inner) : nullptr;
    return box ? box->color().name() : QStringLiteral("no box");
}

// The glyph window as the side panel builds it (editor above table), or
// the editor alone, over a store with two glyphs of the analyst's and two
// colour glyphs.
class GlyphScene : public usersweep::Scene
{
public:
    GlyphScene(bool withTable, const QString& setUp, const QString& action)
        : control(new ControlWidget(nullptr)), action(action)
    {
        GlyphStore* store = control->glyphStore;
        store->colorGlyphs.items.erase(store->colorGlyphs.items.begin() + 2, store->colorGlyphs.items.end());
        BinItem login(nullptr, nullptr);
        login.name = QStringLiteral("Login");
        login.label = QStringLiteral("L");
        login.shape = CIRCLE;
        login.edgeWidth = 3;
        login.fillColor = QColor(200, 40, 40);
        login.sizeFactor = 1.5;
        store->addGlyph(login);
        BinItem read(nullptr, nullptr);
        read.name = QStringLiteral("Read");
        read.label = QStringLiteral("R");
        read.shape = TRIANGLE;
        store->addGlyph(read);

        window.reset(new QWidget);
        auto* layout = new QVBoxLayout(window.get());
        if (withTable) {
            table = new GlyphWidget(control.get());
            editor = new GlyphEditorWidget(table, control.get());
            layout->addWidget(editor);
            layout->addWidget(table);
        } else {
            editor = new GlyphEditorWidget(nullptr, control.get());
            layout->addWidget(editor);
        }
        window->resize(560, 560);
        window->show();
        for (const QString& step : setUp.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            enter(step);
    }

    void act() override { enter(action); }

    QStringList state() const override
    {
        QStringList out;
        const GlyphStore* store = control->glyphStore;
        QString stored;
        for (const TList<BinItem>* list : {&store->glyphs, &store->colorGlyphs}) {
            for (const BinItem& g : list->items)
                stored += glyphText(g) + QLatin1Char(' ');
            stored += QStringLiteral("; ");
        }
        out << QStringLiteral("store %1next %2").arg(stored).arg(nextGlyphId);
        if (table) {
            QString listed;
            for (const BinItem& g : table->glyphs.items)
                listed += glyphText(g) + QLatin1Char(' ');
            out << QStringLiteral("table list ") + listed;
            const QTableWidget* t = table->table;
            for (int row = 0; row < t->rowCount(); ++row) {
                QString cells = previewText(t->cellWidget(row, table->previewColumn)) + QLatin1Char(' ')
                                + colorText(t->cellWidget(row, table->edgeColorColumn)) + QLatin1Char(' ')
                                + colorText(t->cellWidget(row, table->fillColorColumn));
                for (int column : {table->nameColumn, table->textColumn, table->shapeColumn,
                                   table->edgeWidthColumn, table->sizeColumn}) {
                    const QTableWidgetItem* item = t->item(row, column);
                    cells += QLatin1Char(' ') + (item ? item->text() : QStringLiteral("-"));
                }
                out << QStringLiteral("row %1: %2").arg(row).arg(cells);
            }
        }
        out << actionsweep::line("fields", editor->nameEdit->text(), editor->labelEdit->text(),
                                 editor->shapeCombo->currentIndex(), editor->edgeBox->color().name(),
                                 editor->fillBox->color().name(), editor->sizeBox->value());
        out << QStringLiteral("glyph %1 loaded %2").arg(glyphText(*editor->glyph)).arg(editor->hasGlyph);
        out << QStringLiteral("preview ") + glyphText(*editor->preview->item);
        out << actionsweep::line("buttons", editor->saveButton->text(), editor->saveButton->isEnabled(),
                                 editor->cancelButton->isEnabled(), editor->deleteButton->isEnabled(), "shown",
                                 editor->isVisible());
        return out;
    }

private:
    // One entry: those of actionsweep::enter, "label:T" typing, "shape"
    // and "size" the Down and Up keys on the shape and size boxes.
    void enter(const QString& step)
    {
        if (actionsweep::enter(editor, table ? table->table : nullptr, table ? table->nameColumn : 0, step))
            return;
        if (step.startsWith(QLatin1String("label:")))
            QTest::keyClicks(editor->labelEdit, step.section(QLatin1Char(':'), 1));
        else if (step == QLatin1String("shape"))
            QTest::keyClick(editor->shapeCombo, Qt::Key_Down);
        else if (step == QLatin1String("size"))
            QTest::keyClick(editor->sizeBox, Qt::Key_Up);
        else
            QFAIL(qPrintable(QStringLiteral("unknown entry ") + step));
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<QWidget> window;
    GlyphWidget* table = nullptr;
    GlyphEditorWidget* editor = nullptr;
    QString action;
};

} // namespace

class GlyphEditorFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyAllocation_data();
    void everyAllocation();
};

void GlyphEditorFailuresTest::initTestCase()
{
    // Only the program's own allocations fail: Qt's delivery of a click or
    // a key does not survive its own failing.
    sweep::spareQt();
}

void GlyphEditorFailuresTest::everyAllocation_data()
{
    QTest::addColumn<bool>("withTable");
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QString>("action");
    // Entries into the window: the table below the editor.
    // The click's selection change empties the editor first (as a save or a
    // delete leaves it), then the click loads the row.
    QTest::newRow("click a row") << true << "row:1 delete" << "row:0";
    QTest::newRow("type a name") << true << "" << "name:W";
    QTest::newRow("type a label") << true << "row:1" << "label:x";
    QTest::newRow("pick a shape") << true << "row:0" << "shape";
    QTest::newRow("pick a size") << true << "row:0" << "size";
    QTest::newRow("save a new glyph") << true << "name:Write label:w" << "save";
    QTest::newRow("save an edit") << true << "row:0 label:x" << "save";
    QTest::newRow("cancel an edit") << true << "row:1 label:x" << "cancel";
    QTest::newRow("delete a glyph") << true << "row:1" << "delete";
    // The editor alone, as the pattern editor opens it.
    QTest::newRow("alone: type a name") << false << "" << "name:W";
}

void GlyphEditorFailuresTest::everyAllocation()
{
    QFETCH(bool, withTable);
    QFETCH(QString, setUp);
    QFETCH(QString, action);
    // The ids the store gives start from the same number every run.
    const int firstId = nextGlyphId;
    QVERIFY(actionsweep::userSweep([&] {
                nextGlyphId = firstId;
                return std::unique_ptr<usersweep::Scene>(new GlyphScene(withTable, setUp, action));
            }) > 0);
}

LUMIVANE_TEST(GlyphEditorFailuresTest)
#include "GlyphEditorFailuresTest.moc"
