#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"
#include "import/OpenWidgetWorker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

namespace {

// Clicks "Cancel" of the load's progress dialog as soon as the load's
// event loop runs.
void cancelSoon(OpenWidget* dialog)
{
    QTimer::singleShot(0, dialog, [dialog]() {
        QVERIFY(dialog->progressDialog);
        for (QPushButton* b : dialog->progressDialog->findChildren<QPushButton*>())
            b->click();
    });
}

} // namespace

class ImportRunTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void progressEveryThousand();
    void limit_data();
    void limit();
    void loadHandsOverNamesTypesAndSource();
    void cancelKeepsDialogAndStore();
    void badInput_data();
    void badInput();
    void longLine();
    void noEvents_data();
    void noEvents();
    void countedOnTheLoaderThread();
    void stressLoadCancelReload();

private:
    BoxRecorder* boxes = nullptr;
    TempWorkDir* dir = nullptr;
    QString savedName;
};

void ImportRunTest::init()
{
    boxes = new BoxRecorder;
    dir = new TempWorkDir;
    savedName = QCoreApplication::applicationName();
}

void ImportRunTest::cleanup()
{
    QCoreApplication::setApplicationName(savedName);
    delete dir;
    delete boxes;
}

void ImportRunTest::progressEveryThousand()
{
    ControlWidget control(nullptr);
    OpenWidget dialog(&control);
    chooseLog(dialog, dir->write("log.csv", generatedLog(2500)));
    dialog.openInit();
    OpenWidgetWorker worker(&dialog, ',', 2500);
    QSignalSpy values(&worker, &OpenWidgetWorker::progress);
    QSignalSpy labels(&worker, &OpenWidgetWorker::setLabelText);
    DebugCapture cap;
    cap.setForward(false);
    worker.loadData();
    QList<int> got;
    for (const QList<QVariant>& v : values)
        got << v.at(0).toInt();
    QCOMPARE(got, (QList<int>{0, 1000, 2000, 2500}));
    QStringList texts;
    for (const QList<QVariant>& v : labels)
        texts << v.at(0).toString();
    QCOMPARE(texts, (QStringList{"Loading data... : Read 0/2500 Packets",
                                 "Loading data... : Read 1000/2500 Packets",
                                 "Loading data... : Read 2000/2500 Packets"}));
    QVERIFY(cap.contains("Read 2000 Packets"));
    QVERIFY(cap.contains("Done"));
    QVERIFY(worker.finished.load());
    QCOMPARE(dialog.packets.size(), 2500);
}

void ImportRunTest::limit_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("events");
    QTest::newRow("10") << "10" << 10;
    QTest::newRow("default") << "800000" << 40;
    QTest::newRow("abc") << "abc" << 0;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("-5") << "-5" << 0;
}

void ImportRunTest::limit()
{
    QFETCH(QString, limit);
    QFETCH(int, events);
    ControlWidget control(nullptr);
    GlyphStore* before = control.glyphStore;
    OpenWidget dialog(&control);
    chooseLog(dialog, dir->write("log.csv", generatedLog(40)));
    dialog.limitEdit->setText(limit);
    dialog.import();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(control.glyphStore != before);
    QCOMPARE(control.glyphStore->rootContext->packets.size(), events);
    QVERIFY(dialog.findChildren<QThread*>().isEmpty());
    QVERIFY(!dialog.worker);
    QVERIFY(!dialog.progressDialog);
}

void ImportRunTest::loadHandsOverNamesTypesAndSource()
{
    ControlWidget control(nullptr);
    OpenWidget dialog(&control);
    const QString path = testDataPath("import/basic.csv");
    chooseLog(dialog, path);
    dialog.groupingCombo->setCurrentText("ip.src");
    dialog.import();
    GlyphStore* store = control.glyphStore;
    QCOMPARE(store->rootContext->packets.size(), 3);
    QCOMPARE(store->rootContext->size(), 3);
    QCOMPARE(store->fileName, path);
    QCOMPARE(QStringList(store->packetAttributeNames.toQList()),
             QStringList(dialog.attributeNames.toQList()));
    // "frame.len" holds "len": Numeric, loaded as kind 1.
    QVERIFY(store->rangeAttributes.contains("frame.len"));
    QVERIFY(store->rangeAttributes.contains("frame.time_epoch"));
    // The texts of the events came through the pool the store now keeps.
    QVERIFY(store->textPool.contains("10.0.0.1"));
    QVERIFY(store->textPool.contains("Seq=1, Ack=1"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Kolm 1.1 Kolm (basic.csv)"));
    QCOMPARE(TIME_ATTRIBUTE, QStringLiteral("frame.time_epoch"));
}

void ImportRunTest::cancelKeepsDialogAndStore()
{
    ControlWidget control(nullptr);
    control.loadData({}, {}, {});
    GlyphStore* store = control.glyphStore;
    Context* root = store->rootContext;
    store->fileName = "/old.csv";
    const QString name = QCoreApplication::applicationName();

    OpenWidget dialog(&control);
    chooseLog(dialog, dir->write("big.csv", generatedLog(200000, 50)));
    DebugCapture cap;
    cap.setForward(false);
    cancelSoon(&dialog);
    dialog.import();
    QVERIFY(cap.contains("Canceled"));
    QVERIFY(dialog.result() != QDialog::Accepted);
    QVERIFY(!dialog.aborted);
    QVERIFY(dialog.packets.size() < 200000);
    QVERIFY(dialog.findChildren<QThread*>().isEmpty());
    QVERIFY(dialog.findChildren<QProgressDialog*>().isEmpty());
    QCOMPARE(control.glyphStore, store);
    QCOMPARE(store->rootContext, root);
    QCOMPARE(store->fileName, QStringLiteral("/old.csv"));
    QCOMPARE(QCoreApplication::applicationName(), name);

    // "Open" again starts a fresh run.
    dialog.limitEdit->setText("1500");
    dialog.import();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(control.glyphStore->rootContext->packets.size(), 1500);
}

void ImportRunTest::badInput_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<int>("events");
    QTest::addColumn<QString>("check");   // attribute=value of the first event
    QTest::newRow("semicolons") << "semicolon.csv" << 2 << "ip.dst=10.0.0.2";
    QTest::newRow("unterminated quote") << "unterminated_quote.csv" << 2 << "info=open";
    QTest::newRow("field counts") << "field_counts.csv" << 2 << "ip.dst=10.0.0.2";
    QTest::newRow("crlf") << "crlf.csv" << 2 << "ip.dst=10.0.0.2";
    QTest::newRow("invalid utf-8") << "invalid_utf8.csv" << 2 << "ip.src=10.0.0.1";
    QTest::newRow("garbage times") << "garbage_times.csv" << 6 << "frame.time_strday=Monday";
    QTest::newRow("quoted separator") << "basic.csv" << 3 << "info=Seq=1, Ack=1";
}

void ImportRunTest::badInput()
{
    QFETCH(QString, log);
    QFETCH(int, events);
    QFETCH(QString, check);
    ControlWidget control(nullptr);
    OpenWidget dialog(&control);
    DebugCapture cap;
    cap.setForward(false);
    chooseLog(dialog, testDataPath("import/" + log));
    dialog.import();
    Context* root = control.glyphStore->rootContext;
    QVERIFY(root);
    QCOMPARE(root->packets.size(), events);
    if (!check.isEmpty()) {
        const QString attribute = check.section('=', 0, 0);
        const int column = control.glyphStore->attributeColumns.value(attribute, -1);
        QVERIFY(column >= 0);
        QCOMPARE(root->packets.first()->get(column).toString(), check.section('=', 1));
    }
}

void ImportRunTest::longLine()
{
    ControlWidget control(nullptr);
    OpenWidget dialog(&control);
    const QByteArray big(10 * 1024 * 1024, 'x');
    chooseLog(dialog, dir->write("long.csv", "frame.time_epoch,ip.src,info\n1600000000,a," + big
                                                  + "\n1600000001,b,c\n"));
    // The preview read only the start of the long line and says so; the
    // load reads it whole.
    QVERIFY(!dialog.previewNote->isHidden());
    QVERIFY2(dialog.previewNote->text().endsWith(": 2."), qPrintable(dialog.previewNote->text()));
    QVERIFY(boxes->requests.isEmpty());
    dialog.import();
    QCOMPARE(control.glyphStore->rootContext->packets.size(), 2);
}

void ImportRunTest::noEvents_data()
{
    QTest::addColumn<QString>("log");      // a fixture, or a generated log's name
    QTest::addColumn<QString>("reason");

    QTest::newRow("empty") << "empty.csv" << "the file is empty; it has no header line.";
    QTest::newRow("header only") << "header_only.csv" << "it has a header line but no data rows.";
    QTest::newRow("binary") << "binary.csv" << "it is not a text file (it holds zero bytes).";
    QTest::newRow("blank header") << "blank_header.csv"
                                  << "its first line, the header of column names, is empty.";
    QTest::newRow("cr only") << "cr_only.csv" << "its lines end in a carriage return (CR) alone";
    QTest::newRow("no row fits") << "no_matching_rows.csv"
                                 << "none of its rows (2 read) has as many fields as its header (3).";
    // Generated: one line of 50 MB, and a log of 20 MB with CR line ends.
    QTest::newRow("50 MB line") << "line50.csv" << "its first line is longer than 4 MB";
    QTest::newRow("20 MB, CR only") << "cr20.csv" << "its lines end in a carriage return (CR) alone";
}

void ImportRunTest::noEvents()
{
    QFETCH(QString, log);
    QFETCH(QString, reason);

    QString path;
    if (log == "line50.csv")
        path = dir->write(log, QByteArray("1600000000,10.0.0.1,").repeated((50 << 20) / 20));
    else if (log == "cr20.csv")
        path = dir->write(log, "frame.time_epoch,ip.src\r"
                                   + QByteArray("1600000000,10.0.0.1\r").repeated(1 << 20));
    else
        path = testDataPath("import/" + log);

    ControlWidget control(nullptr);
    control.loadData({}, {}, {});
    GlyphStore* store = control.glyphStore;
    store->fileName = "/old.csv";
    OpenWidget dialog(&control);
    DebugCapture cap;
    cap.setForward(false);
    QElapsedTimer clock;
    clock.start();
    chooseLog(dialog, path);
    // Generous for the sanitizers: what matters is seconds, not a minute.
    QVERIFY(clock.elapsed() < 5000);

    // One message that says what is wrong, and the dialog is back to no
    // log chosen: "Open" cannot replace the loaded log with nothing.
    QCOMPARE(boxes->requests.size(), 1);
    QCOMPARE(boxes->requests.first().title, QStringLiteral("LumiVane"));
    const QString name = log;
    QVERIFY2(boxes->requests.first().text.startsWith(name + " cannot be loaded: " + reason),
             qPrintable(boxes->requests.first().text));
    QVERIFY(boxes->requests.first().text.endsWith("\n\nThe loaded log stays as it is."));
    QVERIFY(!dialog.stream);
    QVERIFY(dialog.fileLabel->text().isEmpty());
    QVERIFY(!dialog.loadButton->isEnabled());
    QCOMPARE(dialog.attributeTable->rowCount(), 0);
    dialog.import();
    QCOMPARE(control.glyphStore, store);
    QCOMPARE(store->fileName, QStringLiteral("/old.csv"));
    QVERIFY(dialog.result() != QDialog::Accepted);

    // A good log chosen next loads as usual.
    chooseLog(dialog, testDataPath("import/basic.csv"));
    dialog.import();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(control.glyphStore->rootContext->packets.size(), 3);
}

void ImportRunTest::countedOnTheLoaderThread()
{
    ControlWidget control(nullptr);
    OpenWidget dialog(&control);
    chooseLog(dialog, dir->write("log.csv", generatedLog(2500)));
    dialog.openInit();
    DebugCapture cap;
    cap.setForward(false);

    // The worker counts the records itself, at most the limit.
    {
        OpenWidgetWorker run(&dialog, ',', 0);
        run.limit = 2000;
        QSignalSpy counted(&run, &OpenWidgetWorker::counted);
        QSignalSpy progress(&run, &OpenWidgetWorker::progress);
        run.loadData();
        QCOMPARE(counted.size(), 1);
        QCOMPARE(counted.first().first().toInt(), 2000);
        QCOMPARE(run.total, 2000);
        QCOMPARE(progress.last().first().toInt(), 2000);
        QCOMPARE(dialog.packets.size(), 2000);
    }
    // A cancel that comes while it counts ends the run there.
    {
        OpenWidgetWorker run(&dialog, ',', 0);
        run.limit = 800000;
        run.cancelled = true;
        QSignalSpy counted(&run, &OpenWidgetWorker::counted);
        run.loadData();
        QCOMPARE(counted.size(), 1);
        QCOMPARE(run.total, 0);
        QCOMPARE(dialog.packets.size(), 0);
        QVERIFY(cap.contains("Canceled"));
    }
}

void ImportRunTest::stressLoadCancelReload()
{
    ControlWidget control(nullptr);
    const QString big = dir->write("big.csv", generatedLog(100000, 20));
    const QString small = dir->write("small.csv", generatedLog(300, 7));
    DebugCapture cap;
    cap.setForward(false);
    for (int round = 0; round < 8; ++round) {
        GlyphStore* before = control.glyphStore;
        {
            OpenWidget dialog(&control);
            chooseLog(dialog, big);
            cancelSoon(&dialog);
            dialog.import();
            QCOMPARE(control.glyphStore, before);
            chooseLog(dialog, small);
            dialog.groupingCombo->setCurrentText("ip.src");
            dialog.import();
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        QVERIFY(control.glyphStore != before);
        QCOMPARE(control.glyphStore->rootContext->packets.size(), 300);
        QCOMPARE(control.glyphStore->rootContext->size(), 7);
    }
}

LUMIVANE_TEST(ImportRunTest)
#include "ImportRunTest.moc"
