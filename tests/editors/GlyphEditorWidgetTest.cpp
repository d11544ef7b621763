#include "TestRegistry.h"
#include "DebugCapture.h"
#include "GlyphFixture.h"
#include "../app/MessageRecorder.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/GlyphEditorWidget.h"
#include "items/EmptyItem.h"

namespace {

// The glyph window as the side panel builds it: editor above table.
struct GlyphWindow {
    explicit GlyphWindow(ControlWidget* control)
    {
        table = new GlyphWidget(control);
        editor = new GlyphEditorWidget(table, control);
        auto* layout = new QVBoxLayout(&window);
        layout->setSpacing(1);
        layout->addWidget(editor);
        layout->addWidget(table);
        window.resize(520, 600);
        window.show();
    }

    QWidget window;
    GlyphWidget* table = nullptr;
    GlyphEditorWidget* editor = nullptr;
};

struct Buttons {
    QString saveText;
    bool save;
    bool cancel;
    bool remove;
};

Buttons buttonsOf(const GlyphEditorWidget& e)
{
    return {e.saveButton->text(), e.saveButton->isEnabled(), e.cancelButton->isEnabled(),
            e.deleteButton->isEnabled()};
}

QString describe(const Buttons& b)
{
    return QStringLiteral("%1 save=%2 cancel=%3 delete=%4")
        .arg(b.saveText).arg(b.save).arg(b.cancel).arg(b.remove);
}

// Runs a stand-alone editor modally; `action` runs once the loop is up.
int runModal(GlyphEditorWidget& editor, const std::function<void()>& action)
{
    QTimer::singleShot(0, &editor, action);
    QTimer::singleShot(5000, &editor, [&editor]() { editor.done(-1); });
    return editor.exec();
}

} // namespace

class GlyphEditorWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void layoutAndTexts()
    {
        GlyphFixture f;
        GlyphEditorWidget editor(nullptr, &f.control);
        QStringList labels;
        for (QLabel* label : editor.findChildren<QLabel*>())
            labels << label->text();
        labels.sort();
        QCOMPARE(labels, QStringList({"Edge:", "Example:", "Fill:", "Label:", "Name:", "Shape:",
                                      "Size:"}));
        QCOMPARE(editor.saveButton->text(), QStringLiteral("Save"));
        QCOMPARE(editor.cancelButton->text(), QStringLiteral("cancel"));
        QCOMPARE(editor.deleteButton->text(), QStringLiteral("delete"));
        QVERIFY(editor.deleteButton->isHidden());
        QVERIFY(editor.standAlone);
        QCOMPARE(editor.nameEdit->maximumWidth(), 100);
        QCOMPARE(editor.labelEdit->maximumWidth(), 100);
        QCOMPARE(editor.shapeCombo->maximumWidth(), 100);

        GlyphWidget table(&f.control);
        GlyphEditorWidget withTable(&table, &f.control);
        QVERIFY(!withTable.standAlone);
        QVERIFY(!withTable.deleteButton->isHidden());
    }

    // The shape combo offers the first four shapes; its index is the shape.
    void shapes_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("square") << 0;
        QTest::newRow("circle") << 1;
        QTest::newRow("triangle") << 2;
        QTest::newRow("pentagon") << 3;
    }

    void shapes()
    {
        QFETCH(int, index);
        GlyphFixture f;
        GlyphEditorWidget editor(nullptr, &f.control);
        QStringList items;
        for (int i = 0; i < editor.shapeCombo->count(); ++i)
            items << editor.shapeCombo->itemText(i);
        QCOMPARE(items, QStringList({"square", "circle", "triangle", "pentagon"}));
        editor.shapeCombo->setCurrentIndex(index == 0 ? 1 : 0);
        editor.shapeCombo->setCurrentIndex(index);
        QCOMPARE(editor.glyph->shape, index);
        QCOMPARE(editor.preview->item->shape, index);
    }

    void sizeBox_data()
    {
        QTest::addColumn<int>("typed");
        QTest::addColumn<int>("shown");
        QTest::addColumn<double>("factor");
        QTest::newRow("150") << 150 << 150 << 1.5;
        QTest::newRow("29") << 29 << 29 << 0.29;
        QTest::newRow("115") << 115 << 115 << 1.15;
        QTest::newRow("below 1") << 0 << 1 << 0.01;
        QTest::newRow("above 200") << 250 << 200 << 2.0;
    }

    void sizeBox()
    {
        QFETCH(int, typed);
        QFETCH(int, shown);
        QFETCH(double, factor);
        GlyphFixture f;
        GlyphEditorWidget editor(nullptr, &f.control);
        QCOMPARE(editor.sizeBox->minimum(), 1);
        QCOMPARE(editor.sizeBox->maximum(), 200);
        editor.sizeBox->setValue(typed);
        QCOMPARE(editor.sizeBox->value(), shown);
        QCOMPARE(editor.glyph->sizeFactor, factor);
    }

    // Loading from the table, editing the label and modifying keeps what
    // the editor does not show: condition, quantifier, id and edge width.
    void modifyKeepsHiddenFields()
    {
        GlyphFixture f;
        GlyphWindow w(&f.control);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        GlyphFixture::clickRow(*w.table, 0);
        GlyphEditorWidget& e = *w.editor;
        QVERIFY(e.hasGlyph);
        QCOMPARE(e.nameEdit->text(), QStringLiteral("Login"));
        QCOMPARE(e.labelEdit->text(), QStringLiteral("L"));
        QCOMPARE(e.shapeCombo->currentIndex(), int(CIRCLE));
        QCOMPARE(e.edgeBox->color(), QColor(10, 20, 30));
        QCOMPARE(e.fillBox->color(), QColor(200, 40, 40));
        QCOMPARE(e.sizeBox->value(), 150);
        QCOMPARE(e.preview->item->name, QStringLiteral("Login"));
        QCOMPARE(describe(buttonsOf(e)), QStringLiteral("Save save=1 cancel=0 delete=1"));

        QTest::keyClicks(e.labelEdit, QStringLiteral("og"));
        QCOMPARE(e.glyph->label, QStringLiteral("Log"));
        QCOMPARE(describe(buttonsOf(e)), QStringLiteral("Modify save=1 cancel=1 delete=1"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);

        const BinItem* login = f.stored(QStringLiteral("Login"));
        QCOMPARE(login->label, QStringLiteral("Log"));
        QCOMPARE(login->condition, f.condition.get());
        QCOMPARE(login->quantifier, 2);
        QCOMPARE(login->id, f.loginId);
        QCOMPARE(login->edgeWidth, 3);
        QCOMPARE(login->sizeFactor, 1.5);
        QCOMPARE(f.countNamed(QStringLiteral("Login")), 1);
        QCOMPARE(w.table->table->item(0, 2)->text(), QStringLiteral("Log"));
        // The editor stays open, empty.
        QVERIFY(e.isVisible());
        QVERIFY(!e.hasGlyph);
        QVERIFY(e.nameEdit->text().isEmpty());
        QCOMPARE(describe(buttonsOf(e)), QStringLiteral("Save save=0 cancel=0 delete=0"));
    }

    // "Modify" shows only once a shown field differs from the loaded glyph,
    // and goes again when the edit is undone.
    void modifiedOnlyAfterEdit_data()
    {
        QTest::addColumn<QString>("field");
        QTest::newRow("label") << QStringLiteral("label");
        QTest::newRow("shape") << QStringLiteral("shape");
        QTest::newRow("size") << QStringLiteral("size");
        QTest::newRow("fill") << QStringLiteral("fill");
        QTest::newRow("edge") << QStringLiteral("edge");
    }

    void modifiedOnlyAfterEdit()
    {
        QFETCH(QString, field);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        GlyphEditorWidget e(&table, &f.control);
        // "Read" has 29 %: a factor of 0.29 is not an edit.
        e.setGlyph(*f.stored(QStringLiteral("Read")));
        QVERIFY(!e.isModified());
        QCOMPARE(e.saveButton->text(), QStringLiteral("Save"));

        auto edit = [&](bool undo) {
            if (field == QLatin1String("label")) {
                if (undo)
                    QTest::keyClick(e.labelEdit, Qt::Key_Backspace);
                else
                    QTest::keyClicks(e.labelEdit, QStringLiteral("x"));
            } else if (field == QLatin1String("shape")) {
                e.shapeCombo->setCurrentIndex(undo ? int(TRIANGLE) : int(SQUARE));
            } else if (field == QLatin1String("size")) {
                e.sizeBox->setValue(undo ? 29 : 30);
            } else if (field == QLatin1String("fill")) {
                e.fillBox->setColor(undo ? QColor(40, 160, 40) : QColor(Qt::yellow));
            } else {
                e.edgeBox->setColor(undo ? QColor(Qt::black) : QColor(Qt::red));
            }
        };
        edit(false);
        QVERIFY(e.isModified());
        QCOMPARE(e.saveButton->text(), QStringLiteral("Modify"));
        QVERIFY(e.cancelButton->isEnabled());
        edit(true);
        QVERIFY(!e.isModified());
        QCOMPARE(e.saveButton->text(), QStringLiteral("Save"));
        QVERIFY(!e.cancelButton->isEnabled());
    }

    // save: a name; cancel: stand-alone, or an edit; delete: the store's own
    // list has the name (hidden stand-alone).
    void buttonEnabling_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("expected");
        QTest::newRow("table, empty") << true << "empty" << "Save save=0 cancel=0 delete=0";
        QTest::newRow("table, new name") << true << "typed" << "Save save=1 cancel=0 delete=0";
        QTest::newRow("table, blank name") << true << "blank" << "Save save=0 cancel=0 delete=0";
        QTest::newRow("table, stored name") << true << "typed Read" << "Save save=1 cancel=0 delete=1";
        QTest::newRow("table, loaded") << true << "loaded" << "Save save=1 cancel=0 delete=1";
        QTest::newRow("table, edited") << true << "edited" << "Modify save=1 cancel=1 delete=1";
        QTest::newRow("table, colour glyph") << true << "colour" << "Save save=1 cancel=0 delete=0";
        QTest::newRow("alone, empty") << false << "empty" << "Save save=0 cancel=1 delete=0";
        QTest::newRow("alone, new name") << false << "typed" << "Save save=1 cancel=1 delete=0";
        QTest::newRow("alone, blank name") << false << "blank" << "Save save=0 cancel=1 delete=0";
        QTest::newRow("alone, loaded") << false << "loaded" << "Save save=1 cancel=1 delete=1";
        QTest::newRow("alone, edited") << false << "edited" << "Modify save=1 cancel=1 delete=1";
    }

    void buttonEnabling()
    {
        QFETCH(bool, withTable);
        QFETCH(QString, state);
        QFETCH(QString, expected);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        GlyphEditorWidget e(withTable ? &table : nullptr, &f.control);
        if (state == QLatin1String("typed"))
            QTest::keyClicks(e.nameEdit, QStringLiteral("Write"));
        else if (state == QLatin1String("blank"))
            QTest::keyClicks(e.nameEdit, QStringLiteral("   "));
        else if (state == QLatin1String("typed Read"))
            QTest::keyClicks(e.nameEdit, QStringLiteral("Read"));
        else if (state == QLatin1String("colour"))
            e.setGlyph(*f.stored(QStringLiteral("Green")));
        else if (state != QLatin1String("empty"))
            e.setGlyph(*f.stored(QStringLiteral("Read")));
        if (state == QLatin1String("edited"))
            e.sizeBox->setValue(80);
        QCOMPARE(describe(buttonsOf(e)), expected);
        QCOMPARE(e.deleteButton->isHidden(), !withTable);
    }

    // Typing keeps spaces inside a name; the glyph gets the trimmed text.
    void typingKeepsInnerSpaces()
    {
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        QTest::keyClicks(e.nameEdit, QStringLiteral(" Bad login "));
        QCOMPARE(e.nameEdit->text(), QStringLiteral(" Bad login "));
        QCOMPARE(e.glyph->name, QStringLiteral("Bad login"));
    }

    void emptyItemClearsEditor()
    {
        GlyphFixture f;
        GlyphWindow w(&f.control);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        GlyphEditorWidget& e = *w.editor;
        GlyphFixture::clickRow(*w.table, 0);
        QVERIFY(e.hasGlyph);
        // A selection change alone (keyboard) empties the editor.
        w.table->table->selectRow(1);
        QVERIFY(!e.hasGlyph);
        QVERIFY(e.nameEdit->text().isEmpty());
        QCOMPARE(e.glyph->name, QString());
        QVERIFY(e.glyph->condition == nullptr);
        QCOMPARE(e.glyph->fillColor, QColor(Qt::white));
        QCOMPARE(e.glyph->edgeColor, QColor(Qt::black));
        QCOMPARE(e.fillBox->color(), QColor(Qt::white));
        QCOMPARE(e.sizeBox->value(), 100);
        QCOMPARE(e.shapeCombo->currentIndex(), 0);
        QVERIFY(w.table->table->selectedItems().isEmpty());

        // Nothing of "Login" passes into a new glyph saved next.
        GlyphFixture::clickRow(*w.table, 0);
        QTest::mouseClick(e.cancelButton, Qt::LeftButton);   // not enabled: no edit
        QVERIFY(e.hasGlyph);
        QTest::keyClicks(e.labelEdit, QStringLiteral("x"));
        QTest::mouseClick(e.cancelButton, Qt::LeftButton);
        QVERIFY(!e.hasGlyph);
        QCOMPARE(f.stored(QStringLiteral("Login"))->label, QStringLiteral("L"));
        QTest::keyClicks(e.nameEdit, QStringLiteral("Write"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);
        const BinItem* write = f.stored(QStringLiteral("Write"));
        QVERIFY(write);
        QVERIFY(write->condition == nullptr);
        QCOMPARE(write->quantifier, 0);
        QVERIFY(write->id != f.loginId);
        QCOMPARE(GlyphFixture::tableNames(*w.table).last(), QStringLiteral("Write"));
        QVERIFY(e.isVisible());
    }

    void deleteFromTable()
    {
        GlyphFixture f;
        GlyphWindow w(&f.control);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        GlyphEditorWidget& e = *w.editor;
        GlyphFixture::clickRow(*w.table, 1);
        QCOMPARE(e.glyph->name, QStringLiteral("Read"));
        QTest::mouseClick(e.deleteButton, Qt::LeftButton);
        QCOMPARE(f.countNamed(QStringLiteral("Read")), 0);
        QCOMPARE(GlyphFixture::rowOf(*w.table, QStringLiteral("Read")), -1);
        QVERIFY(!e.hasGlyph);
        QVERIFY(e.isVisible());
        QCOMPARE(describe(buttonsOf(e)), QStringLiteral("Save save=0 cancel=0 delete=0"));
    }

    // Bad names are refused with a warning; the fields stay for mending.
    void badCharactersKeepFields_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::newRow("table") << true;
        QTest::newRow("alone") << false;
    }

    void badCharactersKeepFields()
    {
        QFETCH(bool, withTable);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        GlyphEditorWidget e(withTable ? &table : nullptr, &f.control);
        MessageRecorder boxes;
        QTest::keyClicks(e.nameEdit, QStringLiteral("a~b"));
        const int result = runModal(e, [&]() {
            QTest::mouseClick(e.saveButton, Qt::LeftButton);
            QVERIFY(e.isVisible());
            e.done(5);
        });
        QCOMPARE(result, 5);
        QCOMPARE(boxes.titles(), QStringList{QStringLiteral("Failed to save glyph")});
        QCOMPARE(e.nameEdit->text(), QStringLiteral("a~b"));
        QCOMPARE(f.countNamed(QStringLiteral("a~b")), 0);
        QCOMPARE(table.table->rowCount(), 7);
    }

    void standAloneSaveAdds()
    {
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        const int next = nextGlyphId;
        const int result = runModal(e, [&]() {
            QTest::keyClicks(e.nameEdit, QStringLiteral("Write"));
            QTest::keyClicks(e.labelEdit, QStringLiteral("W"));
            e.shapeCombo->setCurrentIndex(PENTAGON);
            QTest::mouseClick(e.saveButton, Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Accepted));
        const BinItem* write = f.stored(QStringLiteral("Write"));
        QVERIFY(write);
        QCOMPARE(write->id, next);
        QCOMPARE(write->label, QStringLiteral("W"));
        QCOMPARE(write->shape, PENTAGON);
        // The opener copies the editor's glyph: it carries the id.
        QCOMPARE(e.glyph->id, next);
        QCOMPARE(e.glyph->name, QStringLiteral("Write"));
        QVERIFY(!e.hasGlyph);
    }

    void standAloneSaveReplaces()
    {
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        e.setGlyph(*f.stored(QStringLiteral("Login")));
        const int result = runModal(e, [&]() {
            e.fillBox->setColor(QColor(0, 0, 200));
            QCOMPARE(e.saveButton->text(), QStringLiteral("Modify"));
            QTest::mouseClick(e.saveButton, Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Accepted));
        const BinItem* login = f.stored(QStringLiteral("Login"));
        QCOMPARE(login->fillColor, QColor(0, 0, 200));
        QCOMPARE(login->condition, f.condition.get());
        QCOMPARE(login->id, f.loginId);
        QCOMPARE(f.countNamed(QStringLiteral("Login")), 1);
        QCOMPARE(e.glyph->id, f.loginId);
    }

    void standAloneCancelRejects()
    {
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        const int own = f.store()->glyphs.size();
        const int result = runModal(e, [&]() {
            QTest::keyClicks(e.nameEdit, QStringLiteral("Write"));
            QTest::mouseClick(e.cancelButton, Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(f.store()->glyphs.size(), own);
        QCOMPARE(f.countNamed(QStringLiteral("Write")), 0);
    }

    // A name the store has stays refused: the editor stays open.
    void standAloneDuplicateStaysOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("own glyph") << QStringLiteral("Read");
        QTest::newRow("default") << QStringLiteral("WildCard");
        QTest::newRow("colour glyph") << QStringLiteral("Blue");
    }

    void standAloneDuplicateStaysOpen()
    {
        QFETCH(QString, name);
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        DebugCapture debug;
        debug.setForward(false);
        bool open = false;
        const int result = runModal(e, [&]() {
            QTest::keyClicks(e.nameEdit, name);
            QTest::mouseClick(e.saveButton, Qt::LeftButton);
            open = e.isVisible();
            e.reject();
        });
        QVERIFY(open);
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY(debug.contains(QStringLiteral("item already exists")));
        QCOMPARE(f.countNamed(name), 1);
    }
};

LUMIVANE_TEST(GlyphEditorWidgetTest)
#include "GlyphEditorWidgetTest.moc"
