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
    QTest::newRow("empty") << "empty.csv" << 0 << "";
    QTest::newRow("header only") << "header_only.csv" << 0 << "";
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
    dialog.import();
    QCOMPARE(control.glyphStore->rootContext->packets.size(), 2);
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
