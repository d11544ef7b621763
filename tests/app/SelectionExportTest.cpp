#include "ContextFixture.h"
#include "FileAnswers.h"
#include "FileSizeLimit.h"
#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/NavigationWidget.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

using fixture::Packets;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// A controller without views whose store has these event attributes.
struct Exporter
{
    explicit Exporter(const QStringList& names)
    {
        TList<int> kinds;
        for (int i = 0; i < names.size(); ++i)
            kinds.append(3);
        control.glyphStore->setAttributes(TList<QString>(names), kinds);
    }
    MessageRecorder boxes;
    ControlWidget control{nullptr};
    NavigationWidget nav{&control, nullptr};
};

Packets eventsOf(const QList<QStringList>& rows)
{
    Packets events;
    for (const QStringList& fields : rows)
        events.append(fixture::makeEvent(fields));
    return events;
}

// Loads `path` through "Open CSV", grouped by source.
void importThroughDialog(MainWindow& w, const QString& path)
{
    FileAnswers files({path});
    QTimer::singleShot(0, []() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<OpenWidget*>(widget);
            if (!dialog || !dialog->isVisible())
                continue;
            dialog->openFile();
            dialog->groupingCombo->setCurrentText(QStringLiteral("ip.src"));
            dialog->loadButton->click();
            return;
        }
    });
    for (QAction* a : w.fileMenu->actions()) {
        if (a->text() == QLatin1String("Open CSV"))
            a->trigger();
    }
}

} // namespace

class SelectionExportTest : public QObject
{
    Q_OBJECT

private slots:
    void goldenFiles_data();
    void goldenFiles();
    void failures_data();
    void failures();
    void fullDisk_data();
    void fullDisk();
    void fileDialog();
    void roundTripThroughImport();
};

void SelectionExportTest::goldenFiles_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<QString>("golden");
    const QStringList one = {"ip.src"};
    const QStringList two = {"ip.src", "info"};
    QTest::newRow("empty selection") << two << QList<QStringList>() << "empty.csv";
    QTest::newRow("one column, a gap") << one << QList<QStringList>{{"a"}, {""}, {"b"}} << "one_column_gap.csv";
    QTest::newRow("one column, first gap") << one << QList<QStringList>{{""}, {"a"}} << "one_column_first_gap.csv";
    QTest::newRow("two columns keep separators")
        << QStringList{"ip.src", "ip.dst"} << QList<QStringList>{{"a", ""}, {"", ""}, {"", "b"}} << "two_columns_gap.csv";
    QTest::newRow("comma values")
        << two << QList<QStringList>{{"10.0.0.1", "GET /a,b"}, {"10.0.0.2", ","}, {"10.0.0.3", "plain"}} << "comma.csv";
    QTest::newRow("quote values") << two << QList<QStringList>{{"10.0.0.1", "say \"hi\""}, {"10.0.0.2", "\""}} << "quote.csv";
    QTest::newRow("outside Latin-1")
        << two
        << QList<QStringList>{{"10.0.0.1", QString::fromUtf8("caf\xc3\xa9")}, {"10.0.0.2", QString::fromUtf8("\xce\xa9mega")},
                              {"10.0.0.3", QString::fromUtf8("\xf0\x9f\x98\x80")}}
        << "latin1.csv";
    // Derived names and a column without a value in the selection are left
    // out; booleans and doubles are written in their text form.
    QTest::newRow("no derived names")
        << QStringList{"frame.time_epoch", "frame.time_second", "ip.src", "frame.length", "conv.src", "unused",
                       "conv.to_strmonth", "flag", "size"}
        << QList<QStringList>{{"1600000000", "1", "10.0.0.1", "60", "x", "", "May", "true", "1.5"},
                              {"1600000001", "2", "10.0.0.2", "61", "y", "", "May", "false", "60"}}
        << "derived.csv";
}

void SelectionExportTest::goldenFiles()
{
    QFETCH(QStringList, names);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QString, golden);

    TempWorkDir dir;
    Exporter e(names);
    // An existing longer file is replaced.
    const QString path = dir.write(QStringLiteral("out.csv"), QByteArray(5000, 'x'));
    QVERIFY(e.nav.exportSelection(path, eventsOf(rows)));
    QCOMPARE(readAll(path), readAll(testDataPath("app/selection/" + golden)));
    QCOMPARE(e.boxes.titles(), QStringList{"Save Selection"});
    QCOMPARE(e.boxes.requests.first().text, QStringLiteral("Export successful"));
}

void SelectionExportTest::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("events");
    QTest::addColumn<QString>("text");
    const QString opened = QStringLiteral("Save failed: file could not be opened");
    const QString written = QStringLiteral("Save failed: file could not be written to");
    QTest::newRow("full disk, small file") << "/dev/full" << 3 << written;
    QTest::newRow("full disk, large file") << "/dev/full" << 20000 << written;
    QTest::newRow("a directory") << "." << 3 << opened;
    QTest::newRow("missing folder") << "no/such/folder/out.csv" << 3 << opened;
}

void SelectionExportTest::failures()
{
    QFETCH(QString, path);
    QFETCH(int, events);
    QFETCH(QString, text);
    if (path.startsWith("/dev/") && !QFile::exists(path))
        QSKIP("no /dev/full here");

    TempWorkDir dir;
    Exporter e({"ip.src", "info"});
    QList<QStringList> rows;
    for (int i = 0; i < events; ++i)
        rows.append({QStringLiteral("10.0.0.%1").arg(i % 250), QStringLiteral("request %1").arg(i)});
    QVERIFY(!e.nav.exportSelection(path, eventsOf(rows)));
    QCOMPARE(e.boxes.titles(), QStringList{"Failed to save selection"});
    QCOMPARE(e.boxes.requests.first().icon, QMessageBox::Warning);
    QCOMPARE(e.boxes.requests.first().text, text);
}

void SelectionExportTest::fullDisk_data()
{
    QTest::addColumn<int>("events");
    QTest::addColumn<bool>("old");
    // A few lines fail at the last flush, many on the way.
    QTest::newRow("3 events over a file") << 3 << true;
    QTest::newRow("20000 events over a file") << 20000 << true;
    QTest::newRow("20000 events, new file") << 20000 << false;
}

// On a full disk the file the export was to replace stays byte for byte,
// and a new one is not left behind.
void SelectionExportTest::fullDisk()
{
    QFETCH(int, events);
    QFETCH(bool, old);
    TempWorkDir dir;
    Exporter e({"ip.src", "info"});
    const QString path = dir.filePath(QStringLiteral("out.csv"));
    if (old)
        dir.write(QStringLiteral("out.csv"), "ip.src,info\n10.0.0.1,an earlier export");
    const QMap<QString, QByteArray> before = filesIn(dir.path());
    QList<QStringList> rows;
    for (int i = 0; i < events; ++i)
        rows.append({QStringLiteral("10.0.0.%1").arg(i % 250), QStringLiteral("request %1").arg(i)});
    const Packets selection = eventsOf(rows);
    {
        FileSizeLimit full(40);
        QVERIFY(full.active());
        QVERIFY(!e.nav.exportSelection(path, selection));
    }
    QCOMPARE(e.boxes.titles(), QStringList{"Failed to save selection"});
    QCOMPARE(e.boxes.requests.first().text, QStringLiteral("Save failed: file could not be written to"));
    QCOMPARE(filesIn(dir.path()), before);
}

void SelectionExportTest::fileDialog()
{
    TempWorkDir dir;
    Exporter e({"ip.src"});
    {
        // Cancelled: nothing written, nothing shown.
        FileAnswers files;
        e.nav.exportCSV();
        QCOMPARE(files.requests.size(), 1);
        QCOMPARE(files.requests.first().caption, QStringLiteral("Export Selection:"));
        QCOMPARE(files.requests.first().filter, QStringLiteral("CSV files (*.csv)"));
        QVERIFY(!files.requests.first().parent);
        QVERIFY(e.boxes.requests.isEmpty());
    }
    // Without an event matrix the selection is empty: a file of "\n".
    const QString path = dir.filePath(QStringLiteral("chosen.csv"));
    FileAnswers files({path});
    e.nav.exportCSV();
    QCOMPARE(readAll(path), QByteArray("\n"));
    QCOMPARE(e.boxes.titles(), QStringList{"Save Selection"});
}

void SelectionExportTest::roundTripThroughImport()
{
    SettingsGuard settings;
    MessageRecorder boxes;
    TempWorkDir dir;
    MainWindow w;

    importThroughDialog(w, testDataPath("app/selection/roundtrip_log.csv"));
    GlyphStore* first = w.controlWidget->glyphStore;
    const Packets events = first->rootContext->packets;
    const TList<QString> names = first->packetAttributeNames;
    QCOMPARE(events.size(), 4);
    QCOMPARE(events.at(0)->get(first->attributeColumns.value("info")).toString(), QStringLiteral("GET /a,b"));

    const QString path = dir.filePath(QStringLiteral("selection.csv"));
    QVERIFY(w.navigationWidget->exportSelection(path, events));
    QVERIFY(readAll(path).startsWith("frame.time_epoch,ip.src,ip.dst,info,size\n"));

    importThroughDialog(w, path);
    GlyphStore* second = w.controlWidget->glyphStore;
    QVERIFY(second != first);
    QCOMPARE(second->packetAttributeNames.items, names.items);
    const Packets again = second->rootContext->packets;
    QCOMPARE(again.size(), events.size());
    for (int i = 0; i < again.size(); ++i) {
        for (int c = 0; c < names.size(); ++c)
            QCOMPARE(again.at(i)->get(c).toString(), events.at(i)->get(c).toString());
    }
    QCoreApplication::setApplicationName(QStringLiteral("test_app"));
}

LUMIVANE_TEST(SelectionExportTest)
#include "SelectionExportTest.moc"
