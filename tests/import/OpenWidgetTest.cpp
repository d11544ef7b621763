#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "model/GlyphStore.h"
#include "import/OpenWidget.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QScrollBar>
#include <QtTest>

#include <memory>

namespace {

QStringList comboItems(QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

QString typeShown(OpenWidget& dialog, const QString& name)
{
    for (int row = 0; row < dialog.attributeTable->rowCount(); ++row) {
        if (dialog.attributeTable->item(row, 0)->text() == name)
            return static_cast<QComboBox*>(dialog.attributeTable->cellWidget(row, 1))->currentText();
    }
    return QString();
}

// The rows of the attribute table that have a type box.
QList<int> rowsWithTypeBox(OpenWidget& dialog)
{
    QList<int> rows;
    for (int row = 0; row < dialog.attributeTable->rowCount(); ++row) {
        if (qobject_cast<QComboBox*>(dialog.attributeTable->cellWidget(row, 1)))
            rows << row;
    }
    return rows;
}

// A log of `columns` columns c0, c1, ... of which c1 is "ip.src" and c3
// "frame.len", and a few records.
QByteArray manyColumns(int columns)
{
    QByteArray bytes;
    for (int c = 0; c < columns; ++c)
        bytes += (c ? "," : "") + (c == 1 ? QByteArray("ip.src") : c == 3 ? QByteArray("frame.len") : "c" + QByteArray::number(c));
    bytes += '\n';
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < columns; ++c)
            bytes += (c ? "," : "") + QByteArray::number(r * 10 + c % 7);
        bytes += '\n';
    }
    return bytes;
}

} // namespace

class OpenWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void layout();
    void defaultsWithoutStandardColumns();
    void typeGuesses_data();
    void typeGuesses();
    void combinedIsIdempotent();
    void filterAndTypeChanges();
    void groupingCombosChooseApart();
    void longTableMakesBoxesInView();
    void cancelledFileDialogChangesNothing();
    void unreadableFile();
    void choosingAndCancellingLeavesTheStore();
    void sessionKeyUsesTheNewHeader();
    void exportIsRefusedWithoutFile();
    void exportReportsFailedSplit();

private:
    std::unique_ptr<DialogFixture> fixture;
    BoxRecorder* boxes = nullptr;
    ControlWidget* control = nullptr;
    OpenWidget* dialog = nullptr;
};

void OpenWidgetTest::init()
{
    fixture = std::make_unique<DialogFixture>();
    boxes = &fixture->boxes;
    control = &fixture->control;
    dialog = &fixture->dialog;
}

void OpenWidgetTest::cleanup()
{
    fixture.reset();
}

void OpenWidgetTest::layout()
{
    QStringList labels;
    for (QLabel* label : dialog->findChildren<QLabel*>())
        labels << label->text();
    for (const char* text : {"Input file:", "Group events by:", "src:", "dst:", "sesid:",
                             "Settings (optional):", "Time attribute:", "Src field:",
                             "Dst field:", "Limit:"})
        QVERIFY2(labels.contains(text), text);
    QCOMPARE(dialog->limitEdit->text(), QStringLiteral("800000"));
    QCOMPARE(dialog->fileButton->text(), QStringLiteral("Open"));
    QCOMPARE(dialog->loadButton->text(), QStringLiteral("Open"));
    QCOMPARE(dialog->exportButton->text(), QStringLiteral("Export"));
    QCOMPARE(dialog->cancelButton->text(), QStringLiteral("Cancel"));
    QVERIFY(dialog->attributeRadio->isChecked());
    QCOMPARE(dialog->groupingButtons->buttons().size(), 4);
    QVERIFY(dialog->groupingButtons->exclusive());
    QVERIFY(dialog->tcpRadio->isHidden());
    QVERIFY(dialog->networkCheck->isHidden());
    QVERIFY(dialog->filterEdit->isHidden());
    // Without a file only choosing one, "Export" and "Cancel" are possible.
    QVERIFY(!dialog->loadButton->isEnabled());
    QVERIFY(!dialog->timeCombo->isEnabled());
    QVERIFY(dialog->fileButton->isEnabled());
    QVERIFY(dialog->exportButton->isEnabled());
    QVERIFY(dialog->cancelButton->isEnabled());
}

void OpenWidgetTest::defaultsWithoutStandardColumns()
{
    chooseLog(*dialog, testDataPath("import/no_standard_columns.csv"));
    QCOMPARE(dialog->timeCombo->currentText(), QStringLiteral("a"));
    QCOMPARE(dialog->sourceCombo->currentText(), QStringLiteral("a"));
    QCOMPARE(dialog->destinationCombo->currentText(), QStringLiteral("none"));
    QCOMPARE(comboItems(dialog->destinationCombo), (QStringList{"none", "a", "b", "c"}));
    QCOMPARE(dialog->attributeNames.size(), 13);
    QCOMPARE(dialog->attributeNames.last(), QStringLiteral("frame.time_stryear"));
    QVERIFY(dialog->loadButton->isEnabled());
    QVERIFY(dialog->groupingCombo->isEnabled());
    QVERIFY(!dialog->combinedSourceCombo->isEnabled());
    dialog->openInit();
    QCOMPARE(dialog->destinationColumn, -1);
    QCOMPARE(dialog->timeColumn, 0);
}

void OpenWidgetTest::typeGuesses_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("time") << "frame.time_epoch" << "Numeric";
    QTest::newRow("len in name") << "frame.len" << "Numeric";
    QTest::newRow("filename reset to text") << "smb2.filename" << "Text";
    QTest::newRow("distinct values") << "ip.src" << "Identifier";
    QTest::newRow("few values") << "ip.dst" << "Text";
    QTest::newRow("derived hour") << "frame.time_hour" << "Numeric";
    QTest::newRow("derived day") << "frame.time_day" << "Text";
    QTest::newRow("day name") << "frame.time_strday" << "Text";
}

void OpenWidgetTest::typeGuesses()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    TempWorkDir dir;
    QByteArray log = "id,frame.time_epoch,ip.src,ip.dst,frame.len,smb2.filename\n";
    for (int i = 0; i < 150; ++i)
        log += "x," + QByteArray::number(1600000000 + i) + ",10.0.0." + QByteArray::number(i)
               + ",10.0.1.1," + QByteArray::number(60 + i % 3) + ",f" + QByteArray::number(i)
               + "\n";
    chooseLog(*dialog, dir.write("log.csv", log));
    QCOMPARE(typeShown(*dialog, name), shown);
    // The first column is not the time column and keeps its guess.
    QCOMPARE(typeShown(*dialog, "id"), QStringLiteral("Text"));
}

void OpenWidgetTest::combinedIsIdempotent()
{
    dialog->combinedRadio->setChecked(true);
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    // Filling the time combo ran openInit: the key is among the names
    // before the preview and in the grouping combos.
    QCOMPARE(dialog->attributeNames.last(), QStringLiteral("frame.convid"));
    QVERIFY(comboItems(dialog->combinedSessionCombo).contains("frame.convid"));
    QVERIFY(boxes->requests.isEmpty());
    const int size = dialog->attributeNames.size();
    dialog->timeCombo->setCurrentText("frame.len");
    dialog->openInit();
    dialog->openInit();
    QCOMPARE(dialog->attributeNames.size(), size);
    QCOMPARE(dialog->attributeNames.toQList().count("frame.convid"), 1);
    QCOMPARE(dialog->grouping, size - 1);
    QCOMPARE(dialog->attributeTypes.value("frame.convid"), 1);
    dialog->attributeRadio->setChecked(true);
    dialog->openInit();
    QCOMPARE(dialog->attributeNames.size(), size - 1);
    QVERIFY(!dialog->attributeNames.contains("frame.convid"));
    dialog->noneRadio->setChecked(true);
    dialog->openInit();
    QCOMPARE(dialog->grouping, -2);
}

void OpenWidgetTest::filterAndTypeChanges()
{
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    QCOMPARE(dialog->attributeTable->rowCount(), dialog->attributeNames.size());
    dialog->filterEdit->setText("ip.");
    QCOMPARE(dialog->attributeTable->rowCount(), 2);
    QCOMPARE(typeShown(*dialog, "ip.src"), QStringLiteral("Text"));
    auto* type = static_cast<QComboBox*>(dialog->attributeTable->cellWidget(0, 1));
    type->setCurrentIndex(2);
    QCOMPARE(dialog->attributeTypes.value("ip.src", -1), 2);
    type->setCurrentIndex(0);
    QCOMPARE(dialog->attributeTypes.value("ip.src", -1), 0);
    type->setCurrentIndex(1);
    QVERIFY(!dialog->attributeTypes.contains("ip.src"));
    dialog->filterEdit->setText("");
    QCOMPARE(dialog->attributeTable->rowCount(), dialog->attributeNames.size());
}

void OpenWidgetTest::groupingCombosChooseApart()
{
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    QStringList sorted = dialog->attributeNames.toQList();
    sorted.sort();
    for (QComboBox* combo : {dialog->groupingCombo, dialog->combinedSourceCombo,
                             dialog->combinedDestinationCombo, dialog->combinedSessionCombo})
        QCOMPARE(comboItems(combo), sorted);
    QCOMPARE(comboItems(dialog->sourceCombo), QStringList(dialog->headerNames.toQList()));
    // The boxes list the same names, each keeps its own choice.
    dialog->groupingCombo->setCurrentText("ip.src");
    dialog->combinedSourceCombo->setCurrentText("ip.dst");
    QCOMPARE(dialog->groupingCombo->currentText(), QStringLiteral("ip.src"));
    QCOMPARE(dialog->combinedSourceCombo->currentText(), QStringLiteral("ip.dst"));
    QCOMPARE(dialog->combinedSessionCombo->currentText(), sorted.first());
    dialog->timeCombo->setCurrentText("ip.dst");
    QCOMPARE(dialog->sourceCombo->currentText(), QStringLiteral("ip.src"));
    // Another log replaces every list.
    chooseLog(*dialog, testDataPath("import/no_standard_columns.csv"));
    QCOMPARE(comboItems(dialog->timeCombo), (QStringList{"a", "b", "c"}));
    QCOMPARE(comboItems(dialog->combinedSessionCombo).size(), dialog->attributeNames.size());
    QCOMPARE(dialog->groupingCombo->currentText(), QStringLiteral("a"));
}

void OpenWidgetTest::longTableMakesBoxesInView()
{
    TempWorkDir dir;
    chooseLog(*dialog, dir.write("wide.csv", manyColumns(3000)));
    QTableWidget* table = dialog->attributeTable;
    QCOMPARE(table->rowCount(), dialog->attributeNames.size());
    QCOMPARE(table->item(2999, 0)->text(), QStringLiteral("c2999"));
    // The rows at the top have boxes with their guessed types, the rows
    // far below none yet.
    QList<int> rows = rowsWithTypeBox(*dialog);
    QVERIFY(rows.size() < 200);
    QCOMPARE(typeShown(*dialog, "frame.len"), QStringLiteral("Numeric"));
    QCOMPARE(typeShown(*dialog, "c2"), QStringLiteral("Text"));
    QVERIFY(!table->cellWidget(2999, 1));

    // Scrolling to the end gives the last rows boxes, which store types.
    dialog->resize(400, 600);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
    auto* last = qobject_cast<QComboBox*>(table->cellWidget(table->rowCount() - 1, 1));
    QVERIFY(last);
    last->setCurrentIndex(2);
    QCOMPARE(dialog->attributeTypes.value(dialog->attributeNames.last(), -1), 2);
    last->setCurrentIndex(1);
    QVERIFY(!dialog->attributeTypes.contains(dialog->attributeNames.last()));
    // A box made later shows the type stored meanwhile.
    dialog->attributeTypes["c1500"] = 0;
    table->scrollToItem(table->item(1500, 0));
    QCOMPARE(typeShown(*dialog, "c1500"), QStringLiteral("Numeric"));

    // Scrolling through the whole table keeps a bounded number of boxes.
    for (int value = 0; value <= table->verticalScrollBar()->maximum(); value += 7)
        table->verticalScrollBar()->setValue(value);
    rows = rowsWithTypeBox(*dialog);
    QVERIFY2(rows.size() < 600, qPrintable(QString::number(rows.size())));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // A filter short enough gives every row its box again.
    dialog->filterEdit->setText("c29");
    QCOMPARE(table->rowCount(), 111);
    QCOMPARE(rowsWithTypeBox(*dialog).size(), 111);
}

void OpenWidgetTest::cancelledFileDialogChangesNothing()
{
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    const QStringList names = dialog->attributeNames.toQList();
    DebugCapture cap;
    cap.setForward(false);
    {
        FileAnswers files;   // answers nothing: cancelled
        dialog->openFile();
        QCOMPARE(files.requests.size(), 1);
        QCOMPARE(files.requests.first().caption, QStringLiteral("Open CSV"));
        QCOMPARE(files.requests.first().filter, QStringLiteral("*.csv"));
    }
    QVERIFY(cap.contains("Open file failed"));
    QCOMPARE(QStringList(dialog->attributeNames.toQList()), names);
    QVERIFY(dialog->fileLabel->text().endsWith("basic.csv"));
}

void OpenWidgetTest::unreadableFile()
{
    chooseLog(*dialog, "/nonexistent/dir/log.csv");
    QCOMPARE(comboItems(dialog->destinationCombo), QStringList{"none"});
    QCOMPARE(dialog->timeCombo->count(), 0);
    QCOMPARE(dialog->attributeTable->rowCount(), 0);
    QVERIFY(!dialog->stream);
    // Nothing to load or export.
    dialog->import();
    QVERIFY(dialog->result() != QDialog::Accepted);
}

void OpenWidgetTest::choosingAndCancellingLeavesTheStore()
{
    control->loadData({}, {"frame.time_epoch", "x"}, {1, 3});
    GlyphStore* store = control->glyphStore;
    store->fileName = "/old.csv";
    const int pool = int(store->textPool.size());
    TIME_ATTRIBUTE = "frame.time_epoch";
    SRC_ATTRIBUTE = "ip.src";
    {
        OpenWidget other(control);
        chooseLog(other, testDataPath("import/no_standard_columns.csv"));
        QCOMPARE(TIME_ATTRIBUTE, QStringLiteral("a"));
        other.reject();
    }
    QCOMPARE(control->glyphStore, store);
    QCOMPARE(store->fileName, QStringLiteral("/old.csv"));
    QCOMPARE(int(store->textPool.size()), pool);
    QCOMPARE(QStringList(store->packetAttributeNames.toQList()), (QStringList{"frame.time_epoch", "x"}));
    QCOMPARE(TIME_ATTRIBUTE, QStringLiteral("frame.time_epoch"));
    QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("ip.src"));
}

void OpenWidgetTest::sessionKeyUsesTheNewHeader()
{
    // The loaded log has "ip.src" and "ip.dst" elsewhere.
    control->loadData({}, {"x", "y", "ip.dst", "ip.src"}, {3, 3, 3, 3});
    chooseLog(*dialog, testDataPath("import/smb2_sequence.csv"));
    QCOMPARE(dialog->sessionSourceColumn, 1);
    QCOMPARE(dialog->sessionDestinationColumn, 2);
}

void OpenWidgetTest::exportIsRefusedWithoutFile()
{
    TempWorkDir dir;
    FileAnswers files({dir.path()});
    dialog->exportData();
    QVERIFY(files.requests.isEmpty());
    QCOMPARE(boxes->titles(), QStringList{"Failed to export"});
    QVERIFY(dialog->result() != QDialog::Accepted);
}

void OpenWidgetTest::exportReportsFailedSplit()
{
    chooseLog(*dialog, testDataPath("import/basic.csv"));
    TempWorkDir dir;
    FileAnswers files({dir.path()});
    dialog->exportData();
    QCOMPARE(files.requests.size(), 1);
    QCOMPARE(files.requests.first().caption, QStringLiteral("Select directory for export"));
    QCOMPARE(boxes->texts().first(),
             QStringLiteral("Be patient this may take a while... Press OK to start"));
    QVERIFY(!boxes->texts().contains("Export successful!"));
    QCOMPARE(boxes->titles().last(), QStringLiteral("Failed to export"));
    QVERIFY(dialog->result() != QDialog::Accepted);
}

LUMIVANE_TEST(OpenWidgetTest)
#include "OpenWidgetTest.moc"
