#include "TestRegistry.h"
#include "DebugCapture.h"
#include "GlyphFixture.h"
#include "../app/MessageRecorder.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"
#include "editors/GlyphEditorWidget.h"

namespace {

// The glyph window as the side panel builds it: editor above table.
struct GlyphWindow {
    explicit GlyphWindow(ControlWidget* control)
        : table(new GlyphWidget(control)), editor(new GlyphEditorWidget(table, control))
    {
        auto* layout = new QVBoxLayout(&window);
        layout->setSpacing(1);
        layout->addWidget(editor);
        layout->addWidget(table);
        window.resize(520, 600);
        window.show();
    }

    QWidget window;
    GlyphWidget* table;
    GlyphEditorWidget* editor;
};

QString buttons(const GlyphEditorWidget& e)
{
    return QStringLiteral("%1 save=%2 cancel=%3 delete=%4")
        .arg(e.saveButton->text())
        .arg(e.saveButton->isEnabled())
        .arg(e.cancelButton->isEnabled())
        .arg(e.deleteButton->isEnabled());
}

// Runs a stand-alone editor modally; `action` runs in its loop.
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
    // Four shapes; the size box holds 1..200 and stores value / 100.
    void fields()
    {
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        QStringList shapes;
        for (int i = 0; i < e.shapeCombo->count(); ++i) {
            shapes << e.shapeCombo->itemText(i);
            e.shapeCombo->setCurrentIndex(i);
            QCOMPARE(e.glyph->shape, i);
        }
        QCOMPARE(shapes, QStringList({"square", "circle", "triangle", "pentagon"}));
        const QList<QPair<int, double>> sizes = {{150, 1.5}, {29, 0.29}, {0, 0.01}, {250, 2.0}};
        for (const auto& size : sizes) {
            e.sizeBox->setValue(size.first);
            QCOMPARE(e.glyph->sizeFactor, size.second);
            QCOMPARE(e.sizeBox->value(), int(size.second * 100 + 0.5));
        }
        // Spaces inside a typed name stay in the field; the glyph is trimmed.
        QTest::keyClicks(e.nameEdit, QStringLiteral(" Bad login "));
        QCOMPARE(e.nameEdit->text(), QStringLiteral(" Bad login "));
        QCOMPARE(e.glyph->name, QStringLiteral("Bad login"));
        QCOMPARE(e.preview->item->name, QStringLiteral("Bad login"));
    }

    // save: a name; cancel: stand-alone, or an edit; delete: the store's
    // own list has the name (the button hidden stand-alone).
    void buttonEnabling_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("expected");
        QTest::newRow("table, empty") << true << "empty" << "Save save=0 cancel=0 delete=0";
        QTest::newRow("table, new name") << true << "Write" << "Save save=1 cancel=0 delete=0";
        QTest::newRow("table, blank name") << true << "   " << "Save save=0 cancel=0 delete=0";
        QTest::newRow("table, stored name") << true << "Read" << "Save save=1 cancel=0 delete=1";
        QTest::newRow("table, loaded") << true << "loaded" << "Save save=1 cancel=0 delete=1";
        QTest::newRow("table, edited") << true << "edited" << "Modify save=1 cancel=1 delete=1";
        QTest::newRow("table, colour glyph") << true << "colour" << "Save save=1 cancel=0 delete=0";
        QTest::newRow("alone, empty") << false << "empty" << "Save save=0 cancel=1 delete=0";
        QTest::newRow("alone, new name") << false << "Write" << "Save save=1 cancel=1 delete=0";
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
        if (state == QLatin1String("colour"))
            e.setGlyph(*f.stored(QStringLiteral("Green")));
        else if (state == QLatin1String("loaded") || state == QLatin1String("edited"))
            e.setGlyph(*f.stored(QStringLiteral("Read")));   // 29 %: not an edit
        else if (state != QLatin1String("empty"))
            QTest::keyClicks(e.nameEdit, state);
        if (state == QLatin1String("edited"))
            e.sizeBox->setValue(80);
        QCOMPARE(buttons(e), expected);
        QCOMPARE(e.deleteButton->isHidden(), !withTable);
    }

    // "Modify" shows once a shown field differs from the glyph as loaded,
    // and goes when the edit is undone.
    void modifiedOnlyAfterEdit_data()
    {
        QTest::addColumn<QString>("field");
        for (const char* field : {"label", "shape", "size", "fill", "edge"})
            QTest::newRow(field) << QString::fromLatin1(field);
    }

    void modifiedOnlyAfterEdit()
    {
        QFETCH(QString, field);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        GlyphEditorWidget e(&table, &f.control);
        e.setGlyph(*f.stored(QStringLiteral("Read")));
        QVERIFY(!e.isModified());
        for (bool undo : {false, true}) {
            if (field == QLatin1String("label"))
                QTest::keyClick(e.labelEdit, undo ? Qt::Key_Backspace : Qt::Key_X);
            else if (field == QLatin1String("shape"))
                e.shapeCombo->setCurrentIndex(undo ? int(TRIANGLE) : int(SQUARE));
            else if (field == QLatin1String("size"))
                e.sizeBox->setValue(undo ? 29 : 30);
            else if (field == QLatin1String("fill"))
                e.fillBox->setColor(undo ? QColor(40, 160, 40) : QColor(Qt::yellow));
            else
                e.edgeBox->setColor(undo ? QColor(Qt::black) : QColor(Qt::red));
            QCOMPARE(e.isModified(), !undo);
            QCOMPARE(e.saveButton->text(), undo ? QStringLiteral("Save") : QStringLiteral("Modify"));
        }
    }

    // Row click, label edit, "Modify": the stored glyph keeps its condition,
    // quantifier, id and edge width; the editor stays open, empty, and a
    // glyph saved next carries nothing of the one before.
    void tableRoundTrip()
    {
        GlyphFixture f;
        GlyphWindow w(&f.control);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        GlyphEditorWidget& e = *w.editor;
        GlyphFixture::clickRow(*w.table, 0);
        QCOMPARE(e.nameEdit->text(), QStringLiteral("Login"));
        QCOMPARE(e.fillBox->color(), QColor(200, 40, 40));
        QCOMPARE(e.sizeBox->value(), 150);
        QCOMPARE(buttons(e), QStringLiteral("Save save=1 cancel=0 delete=1"));
        QTest::keyClicks(e.labelEdit, QStringLiteral("og"));
        QCOMPARE(buttons(e), QStringLiteral("Modify save=1 cancel=1 delete=1"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);

        const BinItem* login = f.stored(QStringLiteral("Login"));
        QCOMPARE(login->label, QStringLiteral("Log"));
        QCOMPARE(login->condition, f.condition.get());
        QCOMPARE(login->quantifier, 2);
        QCOMPARE(login->id, f.loginId);
        QCOMPARE(login->edgeWidth, 3);
        QCOMPARE(w.table->table->item(0, 2)->text(), QStringLiteral("Log"));
        QVERIFY(e.isVisible() && !e.hasGlyph && e.nameEdit->text().isEmpty());
        QCOMPARE(buttons(e), QStringLiteral("Save save=0 cancel=0 delete=0"));

        // Selecting another row without a click empties the editor as well.
        GlyphFixture::clickRow(*w.table, 0);
        w.table->table->selectRow(1);
        QVERIFY(!e.hasGlyph);
        QCOMPARE(e.fillBox->color(), QColor(Qt::white));
        QTest::keyClicks(e.nameEdit, QStringLiteral("Write"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);
        const BinItem* write = f.stored(QStringLiteral("Write"));
        QVERIFY(write && !write->condition && write->quantifier == 0);
        QCOMPARE(GlyphFixture::tableNames(*w.table).last(), QStringLiteral("Write"));

        // Delete removes the loaded glyph; the editor stays.
        GlyphFixture::clickRow(*w.table, 1);
        QTest::mouseClick(e.deleteButton, Qt::LeftButton);
        QCOMPARE(f.countNamed(QStringLiteral("Read")), 0);
        QVERIFY(e.isVisible() && !e.hasGlyph);
    }

    // Stand-alone: save adds (next id) or replaces through the store and
    // accepts; cancel rejects; a name the store has, or a reserved
    // character, keeps the editor open and changes nothing.
    void standAlone_data()
    {
        QTest::addColumn<QString>("load");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("code");
        QTest::newRow("add") << QString() << "Write" << "save" << int(QDialog::Accepted);
        QTest::newRow("replace") << "Login" << QString() << "save" << int(QDialog::Accepted);
        QTest::newRow("cancel") << QString() << "Write" << "cancel" << int(QDialog::Rejected);
        QTest::newRow("own name") << QString() << "Read" << "save" << -1;
        QTest::newRow("default name") << QString() << "WildCard" << "save" << -1;
        QTest::newRow("colour name") << QString() << "Blue" << "save" << -1;
        QTest::newRow("reserved") << QString() << "a~b" << "save" << -1;
    }

    void standAlone()
    {
        QFETCH(QString, load);
        QFETCH(QString, name);
        QFETCH(QString, press);
        QFETCH(int, code);
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        if (!load.isEmpty())
            e.setGlyph(*f.stored(load));
        const int own = f.store()->glyphs.size();
        const int next = nextGlyphId;
        DebugCapture debug;
        debug.setForward(false);
        MessageRecorder boxes;
        const int ended = runModal(e, [&]() {
            QTest::keyClicks(e.nameEdit, name);
            e.fillBox->setColor(QColor(0, 0, 200));
            QTest::mouseClick(press == QLatin1String("save") ? e.saveButton : e.cancelButton,
                              Qt::LeftButton);
            if (e.isVisible())
                e.done(-1);
        });
        QCOMPARE(ended, code);
        const QString glyphName = load.isEmpty() ? name : load;
        if (code == int(QDialog::Accepted)) {
            // The opener copies the editor's glyph: it is the stored one.
            const BinItem* saved = f.stored(glyphName);
            QCOMPARE(saved->fillColor, QColor(0, 0, 200));
            QCOMPARE(e.glyph->id, saved->id);
            QCOMPARE(saved->id, load.isEmpty() ? next : f.loginId);
            QCOMPARE(saved->condition, load.isEmpty() ? nullptr : f.condition.get());
            QCOMPARE(f.store()->glyphs.size(), load.isEmpty() ? own + 1 : own);
        } else {
            QCOMPARE(f.store()->glyphs.size(), own);
            QCOMPARE(f.countNamed(glyphName), name == QLatin1String("Write") || name.contains('~') ? 0 : 1);
            QCOMPARE(e.nameEdit->text(), name);
        }
        QCOMPARE(debug.contains(QStringLiteral("item already exists")),
                 code == -1 && !name.contains('~'));
        QCOMPARE(boxes.titles(), name.contains('~') ? QStringList{"Failed to save glyph"} : QStringList());
    }
};

LUMIVANE_TEST(GlyphEditorWidgetTest)
#include "GlyphEditorWidgetTest.moc"
