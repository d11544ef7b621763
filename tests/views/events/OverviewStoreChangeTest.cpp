#include "DebugCapture.h"
#include "OverviewFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/NavigationWidget.h"
#include "app/TextInputWidget.h"
#include "import/ConversationPreprocessor.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace overviewfixture;

namespace {

// Holds a cell's rows lock on a thread of its own, so that a pass that
// reaches the cell waits there, until the pass given to watch() is
// cancelled, or at most 10 s.
class CancelGate
{
public:
    explicit CancelGate(BinCell* cell)
        : holder([this, mutex = cell->rowsMutex]() {
              mutex->lock();
              locked.release();
              QElapsedTimer clock;
              clock.start();
              while (!opened.load() && clock.elapsed() < 10000) {
                  const EventOverviewWorker* pass = watched.load();
                  if (pass && pass->isCancelled())
                      break;
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
              mutex->unlock();
          })
    {
        locked.acquire();
    }
    ~CancelGate()
    {
        opened.store(true);
        holder.join();
    }
    CancelGate(const CancelGate&) = delete;
    CancelGate& operator=(const CancelGate&) = delete;

    void watch(const EventOverviewWorker* pass) { watched.store(pass); }

private:
    QSemaphore locked;
    std::atomic<bool> opened{false};
    std::atomic<const EventOverviewWorker*> watched{nullptr};
    std::thread holder;
};

// Answers the next name dialog with `name`, the attribute box ticked.
void answerName(const QString& name)
{
    QTimer::singleShot(0, [name]() {
        auto* dialog = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->nameEdit->setText(name);
        dialog->attributeBox->setChecked(true);
        dialog->accept();
    });
}

// A directory of one conversation file over other columns than the
// matrix's log.
QString conversationFiles(const TempWorkDir& dir)
{
    QDir().mkpath(dir.filePath("convs/cal/l-a"));
    dir.write("convs/attributes.conf", "frame.number,sip.Call-ID,sip.Method\n");
    dir.write("convs/cal/l-a/call-a.conv", "1,call-a,INVITE\n2,call-a,BYE");
    return dir.filePath("convs");
}

// The change of the store: adds an attribute named `name` (or, for the
// preprocessing, swaps the attribute tables for a while).
void changeStore(Group& g, const QString& how, const QString& name, const TempWorkDir& dir)
{
    if (how == QLatin1String("save selection")) {
        NavigationWidget tree(g.m.control.get(), nullptr);
        answerName(name);
        QVERIFY(tree.saveSelection(g.m.context, g.m.context->packets.mid(0, 7)));
    } else if (how == QLatin1String("find")) {
        std::unique_ptr<ParseNode> pattern(cellfixture::sequence({cellfixture::kindLeaf(QStringLiteral("a"))}));
        answerName(name);
        g.m.view->find(pattern.get(), false, false, true);
    } else {
        ConversationPreprocessor run(conversationFiles(dir), {}, {}, dir.filePath("out.csv"), g.m.control.get());
        run.run();
        QVERIFY2(run.errorText.isEmpty(), qPrintable(run.errorText));
        QCOMPARE(run.processed, 1);
    }
}

} // namespace

// Whatever changes the glyph store's attribute tables or the events' values
// first ends the overview passes that read them: an attribute saved from a
// selection, an attribute made by a find, the preprocessing of conversation
// files. The strip draws again afterwards.
class OverviewStoreChangeTest : public QObject
{
    Q_OBJECT

private slots:
    void changeEndsTheRunningPass_data();
    void changeEndsTheRunningPass();
    void attributesAddedWhilePassesRun_data();
    void attributesAddedWhilePassesRun();
};

void OverviewStoreChangeTest::changeEndsTheRunningPass_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("selection saved as an attribute") << "save selection";
    QTest::newRow("find creates an attribute") << "find";
    QTest::newRow("conversation files preprocessed") << "preprocess";
}

void OverviewStoreChangeTest::changeEndsTheRunningPass()
{
    QFETCH(QString, how);
    DebugCapture cap;
    cap.setForward(false);
    TempWorkDir dir;
    Group g(traces(30));
    // The pass reads the glyph size attribute of every event.
    g.m.view->changeZAxis(QStringLiteral("size"));
    EventOverviewWidget* strip = g.strip;
    QVERIFY(settle(strip));
    const int columns = g.m.store()->packetAttributeNames.size();
    const THash<QString, int> tables = g.m.store()->attributeColumns;
    cap.clear();
    {
        CancelGate gate(g.m.view->cells.first());
        strip->reloadData();
        QVERIFY(strip->isRunning());
        gate.watch(strip->worker);
        changeStore(g, how, QStringLiteral("marked"), dir);
        // The pass ended before the change: none runs when it returns.
        QVERIFY(!strip->isRunning());
    }
    QCOMPARE(cap.count(QStringLiteral("Canceled")), 1);
    if (how == QLatin1String("preprocess")) {
        QCOMPARE(g.m.store()->packetAttributeNames.size(), columns);
        QCOMPARE(g.m.store()->attributeColumns.size(), tables.size());
    } else {
        QCOMPARE(g.m.store()->packetAttributeNames.size(), columns + 1);
        const int column = g.m.store()->attributeColumns.value(QStringLiteral("marked"), -1);
        QCOMPARE(column, columns);
        QVERIFY(g.m.context->packets.first()->get(column).isValid());
    }
    // A new pass draws the matrix as it is now.
    QVERIFY(settle(strip));
    QCOMPARE(cap.count(QStringLiteral("Done")), 1);
    QCOMPARE(strip->images.size(), g.m.view->cells.size());
    QVERIFY(!strip->stackedImage.isNull());
}

void OverviewStoreChangeTest::attributesAddedWhilePassesRun_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("selections saved as attributes") << "save selection";
    QTest::newRow("finds create attributes") << "find";
}

void OverviewStoreChangeTest::attributesAddedWhilePassesRun()
{
    // Each round starts a pass and adds an attribute at once, while the
    // pass draws. Meant for the sanitizer builds.
    QFETCH(QString, how);
    DebugCapture cap;
    cap.setForward(false);
    TempWorkDir dir;
    Group g(traces(150, 9));
    g.m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    g.m.view->changeZAxis(QStringLiteral("size"));
    g.strip->resize(150, 400);
    QVERIFY(settle(g.strip));
    const int columns = g.m.store()->packetAttributeNames.size();
    const int rounds = 12;
    for (int round = 0; round < rounds; ++round) {
        // The pass the last change asked for starts here, not in the dialog.
        QCoreApplication::processEvents();
        if (!g.strip->isRunning())
            g.strip->reloadData();
        changeStore(g, how, QStringLiteral("round %1").arg(round), dir);
        QVERIFY(!g.strip->isRunning());
    }
    QVERIFY(settle(g.strip));
    QCOMPARE(g.m.store()->packetAttributeNames.size(), columns + rounds);
    for (const PacketPtr& p : g.m.context->packets)
        QVERIFY(p->get(columns + rounds - 1).isValid());
    QCOMPARE(g.strip->images.size(), g.m.view->cells.size());
}

LUMIVANE_TEST(OverviewStoreChangeTest)
#include "OverviewStoreChangeTest.moc"
