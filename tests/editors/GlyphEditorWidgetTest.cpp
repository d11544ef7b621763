#include "TestRegistry.h"
#include "DebugCapture.h"
#include "GlyphFixture.h"
#include "GlyphWindow.h"
#include "../app/MessageRecorder.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include "editors/ColorBox.h"
#include "editors/ExampleWidget.h"

namespace {

QString buttons(const GlyphEditorWidget& e)
{
    return QStringLiteral("%1 save=%2 cancel=%3 delete=%4")
        .arg(e.saveButton->text())
        .arg(e.saveButton->isEnabled())
        .arg(e.cancelButton->isEnabled())
        .arg(e.deleteButton->isEnabled());
}

} // namespace

class GlyphEditorWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    // Four shapes; the size box holds 1..200 and stores value / 100; spaces
    // inside a typed name stay in the field, the glyph takes it trimmed.
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
            QCOMPARE(e.sizeBox->value(), qRound(size.second * 100));
        }
        QTest::keyClicks(e.nameEdit, QStringLiteral(" Bad login "));
        QCOMPARE(e.nameEdit->text(), QStringLiteral(" Bad login "));
        QCOMPARE(e.preview->item->name, QStringLiteral("Bad login"));
    }

    // save: a name; cancel: stand-alone, or an edit; delete: the store's
    // own list has the name (the button hidden stand-alone).
    void buttonEnabling_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("expected");
        QTest::newRow("table, empty") << true << "" << "Save save=0 cancel=0 delete=0";
        QTest::newRow("table, new name") << true << "Write" << "Save save=1 cancel=0 delete=0";
        QTest::newRow("table, blank name") << true << "   " << "Save save=0 cancel=0 delete=0";
        QTest::newRow("table, stored name") << true << "Read" << "Save save=1 cancel=0 delete=1";
        QTest::newRow("table, loaded") << true << "load Read" << "Save save=1 cancel=0 delete=1";
        QTest::newRow("table, edited") << true << "edit Read" << "Modify save=1 cancel=1 delete=1";
        QTest::newRow("table, colour glyph") << true << "load Green" << "Save save=1 cancel=0 delete=0";
        QTest::newRow("alone, empty") << false << "" << "Save save=0 cancel=1 delete=0";
        QTest::newRow("alone, new name") << false << "Write" << "Save save=1 cancel=1 delete=0";
        QTest::newRow("alone, edited") << false << "edit Read" << "Modify save=1 cancel=1 delete=1";
    }

    void buttonEnabling()
    {
        QFETCH(bool, withTable);
        QFETCH(QString, state);
        QFETCH(QString, expected);
        GlyphFixture f;
        GlyphWidget table(&f.control);
        GlyphEditorWidget e(withTable ? &table : nullptr, &f.control);
        if (state.startsWith(QLatin1String("load ")) || state.startsWith(QLatin1String("edit ")))
            e.setGlyph(*f.stored(state.mid(5)).first());   // "Read": 29 % is no edit
        else
            QTest::keyClicks(e.nameEdit, state);
        if (state.startsWith(QLatin1String("edit ")))
            e.sizeBox->setValue(80);
        QCOMPARE(buttons(e), expected);
        QCOMPARE(e.deleteButton->isHidden(), !withTable);
    }

    // "Modify" shows once a shown field differs from the glyph as loaded,
    // and goes when the edit is undone.
    void modifiedOnlyAfterEdit()
    {
        for (int field = 0; field < 5; ++field) {
            GlyphFixture f;
            GlyphWidget table(&f.control);
            GlyphEditorWidget e(&table, &f.control);
            e.setGlyph(*f.stored(QStringLiteral("Read")).first());
            QVERIFY(!e.isModified());
            for (bool undo : {false, true}) {
                switch (field) {
                case 0: QTest::keyClick(e.labelEdit, undo ? Qt::Key_Backspace : Qt::Key_X); break;
                case 1: e.shapeCombo->setCurrentIndex(undo ? TRIANGLE : SQUARE); break;
                case 2: e.sizeBox->setValue(undo ? 29 : 30); break;
                case 3: e.fillBox->setColor(undo ? QColor(40, 160, 40) : QColor(Qt::yellow)); break;
                default: e.edgeBox->setColor(undo ? QColor(Qt::black) : QColor(Qt::red)); break;
                }
                QCOMPARE(e.saveButton->text(), undo ? QStringLiteral("Save") : QStringLiteral("Modify"));
            }
        }
    }

    // Row click, label edit, "Modify": the stored glyph keeps condition,
    // quantifier, id and edge width; the editor stays open and empty, and
    // a glyph saved next carries nothing of the one before.
    void tableRoundTrip()
    {
        GlyphFixture f;
        GlyphWindow w(&f.control);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        GlyphEditorWidget& e = *w.editor;
        GlyphFixture::clickRow(*w.table, 0);
        QCOMPARE(e.nameEdit->text(), QStringLiteral("Login"));
        QCOMPARE(e.sizeBox->value(), 150);
        QCOMPARE(buttons(e), QStringLiteral("Save save=1 cancel=0 delete=1"));
        QTest::keyClicks(e.labelEdit, QStringLiteral("og"));
        QCOMPARE(buttons(e), QStringLiteral("Modify save=1 cancel=1 delete=1"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);
        const BinItem* login = f.stored(QStringLiteral("Login")).first();
        QCOMPARE(login->label, QStringLiteral("Log"));
        QCOMPARE(login->condition, f.condition.get());
        QVERIFY(login->quantifier == 2 && login->id == f.loginId && login->edgeWidth == 3);
        QCOMPARE(w.table->table->item(0, 2)->text(), QStringLiteral("Log"));
        QVERIFY(e.isVisible() && !e.hasGlyph && e.nameEdit->text().isEmpty());
        QCOMPARE(buttons(e), QStringLiteral("Save save=0 cancel=0 delete=0"));

        GlyphFixture::clickRow(*w.table, 0);
        w.table->table->selectRow(1);   // a selection change alone empties it
        QVERIFY(!e.hasGlyph);
        QTest::keyClicks(e.nameEdit, QStringLiteral("Write"));
        QTest::mouseClick(e.saveButton, Qt::LeftButton);
        const BinItem* write = f.stored(QStringLiteral("Write")).first();
        QVERIFY(!write->condition && write->quantifier == 0 && write->fillColor == Qt::white);

        GlyphFixture::clickRow(*w.table, 1);
        QTest::mouseClick(e.deleteButton, Qt::LeftButton);
        QVERIFY(f.stored(QStringLiteral("Read")).isEmpty());
        QVERIFY(e.isVisible() && !e.hasGlyph);
    }

    // Stand-alone: save adds (next id) or replaces through the store and
    // accepts; cancel rejects; a name the store has, or a reserved
    // character, keeps the editor open and stores nothing.
    void standAlone_data()
    {
        QTest::addColumn<QString>("load");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("save");
        QTest::addColumn<int>("code");
        QTest::newRow("add") << "" << "Write" << true << int(QDialog::Accepted);
        QTest::newRow("replace") << "Login" << "" << true << int(QDialog::Accepted);
        QTest::newRow("cancel") << "" << "Write" << false << int(QDialog::Rejected);
        QTest::newRow("own name") << "" << "Read" << true << 7;
        QTest::newRow("default name") << "" << "WildCard" << true << 7;
        QTest::newRow("colour name") << "" << "Blue" << true << 7;
        QTest::newRow("reserved") << "" << "a~b" << true << 7;
    }

    void standAlone()
    {
        QFETCH(QString, load);
        QFETCH(QString, name);
        QFETCH(bool, save);
        QFETCH(int, code);
        GlyphFixture f;
        GlyphEditorWidget e(nullptr, &f.control);
        if (!load.isEmpty())
            e.setGlyph(*f.stored(load).first());
        const QString glyphName = load.isEmpty() ? name : load;
        const int before = f.stored(glyphName).size();
        const int next = nextGlyphId;
        DebugCapture debug;
        debug.setForward(false);
        MessageRecorder boxes;
        QTimer::singleShot(0, &e, [&]() {
            QTest::keyClicks(e.nameEdit, name);
            e.fillBox->setColor(QColor(0, 0, 200));
            QTest::mouseClick(save ? e.saveButton : e.cancelButton, Qt::LeftButton);
            if (e.isVisible())
                e.done(7);
        });
        QCOMPARE(e.exec(), code);
        QCOMPARE(f.stored(glyphName).size(), code == int(QDialog::Accepted) ? 1 : before);
        if (code == int(QDialog::Accepted)) {
            // The opener copies the editor's glyph: it is the stored one.
            const BinItem* saved = f.stored(glyphName).first();
            QCOMPARE(saved->fillColor, QColor(0, 0, 200));
            QCOMPARE(e.glyph->id, saved->id);
            QCOMPARE(saved->id, load.isEmpty() ? next : f.loginId);
            QCOMPARE(saved->condition, load.isEmpty() ? nullptr : f.condition.get());
        } else if (code == 7) {
            QCOMPARE(e.nameEdit->text(), name);
            QCOMPARE(debug.contains(QStringLiteral("item already exists")), boxes.requests.isEmpty());
            QCOMPARE(boxes.titles(), name == QLatin1String("a~b") ? QStringList{"Failed to save glyph"}
                                                                   : QStringList());
        }
    }
};

LUMIVANE_TEST(GlyphEditorWidgetTest)
#include "GlyphEditorWidgetTest.moc"
