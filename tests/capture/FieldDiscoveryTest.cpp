#include "TestRegistry.h"

#include "ConversionTools.h"
#include "DebugCapture.h"
#include "FileAnswers.h"
#include "capture/MultiListWidget.h"
#include "capture/ParseWidget.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <new>

using namespace conversiontest;

namespace {

// The fields found in a capture by the discovery that blocked the window
// while tshark ran, one a line.
QStringList recordedFields(const QString& name)
{
    return QString::fromUtf8(readAll(testDataPath("capture/fields/" + name + ".txt")))
        .split('\n', Qt::SkipEmptyParts);
}

// The field list as shown: each item's text and whether it is ticked.
QStringList shownItems(const ParseWidget& dialog)
{
    QStringList items;
    for (int row = 0; row < dialog.fieldList->count(); ++row) {
        const QListWidgetItem* item = dialog.fieldList->item(row);
        items << item->text() + (item->checkState() == Qt::Checked ? "+" : "-");
    }
    return items;
}

bool alive(const QString& pidFile)
{
    const QByteArray pid = readAll(pidFile).trimmed();
    return !pid.isEmpty() && QFileInfo::exists("/proc/" + pid);
}

} // namespace

class FieldDiscoveryTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sameFieldsAsBefore_data();
    void sameFieldsAsBefore();
    void readsWhileTsharkWrites();
    void cancelChangesNothing_data();
    void cancelChangesNothing();
    void tsharkCrashes_data();
    void tsharkCrashes();
    void outOfMemoryChangesNothing_data();
    void outOfMemoryChangesNothing();

private:
    TempWorkDir dir;
    std::unique_ptr<DebugCapture> log;  // made per test: QTest installs its own handler first
    QHash<QString, QString> captures;
    const QString savedTshark = TSHARK_PATH;
};

void FieldDiscoveryTest::initTestCase()
{
    captures = {{"http", dir.filePath("http.pcapng")},
                {"ethernet-only", dir.filePath("ethernet.pcapng")},
                {"icmp-error", dir.filePath("icmp.pcapng")},
                {"smb2_session", dir.filePath("smb2.pcapng")},
                {"expert-twice", dir.filePath("expert.pcap")}};
    QVERIFY(makeCapture("http.hex", captures["http"], "pcapng"));
    QVERIFY(makeCapture("ethernet-only.hex", captures["ethernet-only"], "pcapng"));
    QVERIFY(makeCapture("icmp-error.hex", captures["icmp-error"], "pcapng"));
    QVERIFY(makeCapture("smb2_session.hex", captures["smb2_session"], "pcapng", "%Y-%m-%d %H:%M:%S.%f"));
    QVERIFY(makeCapture("expert-twice.hex", captures["expert-twice"], "pcap"));
}

void FieldDiscoveryTest::init()
{
    log = std::make_unique<DebugCapture>();
    log->setForward(false);
    TSHARK_PATH = "/usr/bin/tshark";
}

void FieldDiscoveryTest::cleanup()
{
    log.reset();
    TSHARK_PATH = savedTshark;
    SRC_ATTRIBUTE = "ip.src";  // discovery may switch it for the process
}

void FieldDiscoveryTest::sameFieldsAsBefore_data()
{
    QTest::addColumn<QString>("capture");
    QTest::newRow("http") << "http";
    QTest::newRow("ethernet only") << "ethernet-only";
    QTest::newRow("icmp error") << "icmp-error";
    QTest::newRow("smb2 session") << "smb2_session";
    QTest::newRow("expert info under two protocols") << "expert-twice";
}

// The discovery that serves the window finds what the blocking one found,
// in the same order; the list offers each field once.
void FieldDiscoveryTest::sameFieldsAsBefore()
{
    QFETCH(QString, capture);
    ParseWidget dialog(nullptr);
    FileAnswers answers({captures[capture]});
    Boxes boxes;
    dialog.openButton->click();
    QVERIFY(boxes.texts.isEmpty());
    const QStringList recorded = recordedFields(capture);
    QVERIFY(recorded.size() > 50);
    QCOMPARE(dialog.allFields.toQList(), recorded);
    QStringList once = recorded;
    once.removeDuplicates();
    QCOMPARE(once.size() < recorded.size(), capture == "http" || capture == "expert-twice");
    QStringList listed;
    for (int row = 0; row < dialog.fieldList->count(); ++row)
        listed << dialog.fieldList->item(row)->text();
    // ip.src heads the list of an Ethernet-only capture: selected, not found.
    if (capture == "ethernet-only") {
        QCOMPARE(listed.mid(0, 2), QStringList({"ip.src", "ip.dst"}));
        listed = listed.mid(2);
    }
    QCOMPARE(listed, once);
    QVERIFY(!dialog.discovery && !dialog.discoveryProgress);
}

// tshark's output comes in pieces with pauses: read as it comes, under a
// progress dialog, while the window keeps being served.
void FieldDiscoveryTest::readsWhileTsharkWrites()
{
    TempWorkDir tools;
    tools.write("http.pdml", run("tshark", {"-r", captures["http"], "-c", "1500", "-T", "pdml"}));
    // Pieces of an odd size, so that they end inside names and tags.
    writeScript(tools, "tshark",
                "cd \"$(dirname \"$0\")\"; split -b 9973 http.pdml piece.; "
                "for p in piece.*; do cat \"$p\"; sleep 0.03; done");
    ParseWidget dialog(nullptr);
    dialog.show();
    dialog.tsharkLabel->setText(tools.filePath("tshark"));
    FileAnswers answers({captures["http"]});
    QElapsedTimer gap;
    qint64 longest = 0;
    int ticks = 0;
    QString label;
    int shownValue = -1;
    QTimer tick;
    tick.setInterval(1);
    connect(&tick, &QTimer::timeout, &dialog, [&]() {
        longest = std::max(longest, gap.restart());
        ++ticks;
        if (dialog.discoveryProgress && dialog.discoveryProgress->isVisible()) {
            label = dialog.discoveryProgress->labelText();
            shownValue = std::max(shownValue, dialog.discoveryProgress->value());
        }
    });
    gap.start();
    tick.start();
    QElapsedTimer clock;
    clock.start();
    dialog.openButton->click();
    const qint64 ms = clock.elapsed();
    longest = std::max(longest, gap.elapsed());
    tick.stop();
    QVERIFY2(ms > 900, qPrintable(QString::number(ms)));  // the pieces took their time
    QVERIFY2(longest < 500, qPrintable(QString::number(longest)));
    QVERIFY(ticks > 50);
    QCOMPARE(label, QStringLiteral("Reading the fields of http.pcapng..."));
    QVERIFY(shownValue > 0 && shownValue <= 36);  // packets read of 1500
    QCOMPARE(dialog.allFields.toQList(), recordedFields("http"));
    QCOMPARE(dialog.inputLabel->text(), captures["http"]);
    QVERIFY(!dialog.discovery && !dialog.discoveryProgress);
    QTRY_VERIFY(dialog.findChildren<QProgressDialog*>().isEmpty());
}

void FieldDiscoveryTest::cancelChangesNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Cancel of the progress") << "cancel";
    QTest::newRow("dialog closed") << "close";
    QTest::newRow("another capture opened") << "another";
    QTest::newRow("dialog deleted") << "delete";
}

// A discovery that does not end (a tshark that hangs after part of an
// Ethernet-only capture, which would switch the source attribute) is cut
// short: tshark is stopped, and the dialog and the source attribute stay
// as they were.
void FieldDiscoveryTest::cancelChangesNothing()
{
    QFETCH(QString, how);
    TempWorkDir tools;
    const QByteArray document = run("tshark", {"-r", captures["ethernet-only"], "-T", "pdml"});
    tools.write("start.pdml", document.left(document.indexOf("</packet>")));
    writeScript(tools, "tshark",
                "case \"$2\" in *hang*) cd \"$(dirname \"$0\")\"; echo $$ > pid; cat start.pdml; "
                "exec sleep 30;; *) exec /usr/bin/tshark \"$@\";; esac");
    const QString hang = dir.filePath("hang.pcapng");
    QFile::remove(hang);
    QVERIFY(QFile::copy(captures["ethernet-only"], hang));

    QPointer<ParseWidget> dialog = new ParseWidget(nullptr);
    dialog->tsharkLabel->setText(tools.filePath("tshark"));
    Boxes boxes;
    FileAnswers answers({captures["http"], hang, captures["icmp-error"]});
    dialog->openFile();
    const QStringList items = shownItems(*dialog);
    const QStringList all = dialog->allFields.toQList();
    const QStringList selected = dialog->selectedFields.toQList();
    const QString count = dialog->consoleCount->text();
    QVERIFY(items.size() > 50);

    bool acted = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&]() {
        if (acted || !dialog || !dialog->discoveryProgress || !alive(tools.filePath("pid")))
            return;
        if (!dialog->discoveryProgress->isVisible())
            return;
        acted = true;
        if (how == "cancel")
            dialog->discoveryProgress->findChild<QPushButton*>()->click();
        else if (how == "close")
            dialog->reject();
        else if (how == "another")
            dialog->openFile();
        else
            delete dialog;
    });
    poll.start(10);
    QElapsedTimer clock;
    clock.start();
    dialog->openFile();
    poll.stop();
    QVERIFY(acted);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!alive(tools.filePath("pid")));
    QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("ip.src"));
    QVERIFY(boxes.texts.isEmpty());
    if (how == "delete") {
        QVERIFY(!dialog);
        return;
    }
    QVERIFY(!dialog->discovery && !dialog->discoveryProgress);
    if (how == "another") {
        // The capture opened last is the one read.
        QCOMPARE(dialog->inputLabel->text(), captures["icmp-error"]);
        QCOMPARE(dialog->allFields.toQList(), recordedFields("icmp-error"));
    } else {
        QCOMPARE(dialog->inputLabel->text(), captures["http"]);
        QCOMPARE(dialog->outputLabel->text(), dir.filePath("http.csv"));
        QCOMPARE(dialog->allFields.toQList(), all);
        QCOMPARE(dialog->selectedFields.toQList(), selected);
        QCOMPARE(shownItems(*dialog), items);
        QCOMPARE(dialog->consoleCount->text(), count);
    }
    delete dialog;
}

void FieldDiscoveryTest::tsharkCrashes_data()
{
    QTest::addColumn<bool>("output");  // part of a document printed first
    QTest::newRow("after part of the document") << true;
    QTest::newRow("before any output") << false;
}

// A tshark that dies of a signal: what it printed is offered; when it
// printed nothing, the box says it ended abnormally.
void FieldDiscoveryTest::tsharkCrashes()
{
    QFETCH(bool, output);
    TempWorkDir tools;
    const QByteArray document = run("tshark", {"-r", captures["http"], "-T", "pdml"});
    tools.write("start.pdml", document.left(document.indexOf("</packet>")));
    writeScript(tools, "tshark",
                QString(output ? "cat \"$(dirname \"$0\")/start.pdml\"; " : "") + "kill -SEGV $$");
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText(tools.filePath("tshark"));
    FileAnswers answers({captures["http"]});
    Boxes boxes;
    dialog.openButton->click();
    QCOMPARE(dialog.inputLabel->text(), captures["http"]);
    if (output) {
        QVERIFY(dialog.allFields.contains("eth.src") && dialog.allFields.contains("tcp.srcport"));
        QVERIFY(!dialog.allFields.contains("http.request.uri"));  // a later packet
        QVERIFY(boxes.texts.isEmpty());
    } else {
        QVERIFY(dialog.allFields.isEmpty());
        QCOMPARE(boxes.texts,
                 QStringList{"No fields were found in the capture.\ntshark ended abnormally."});
    }
}

void FieldDiscoveryTest::outOfMemoryChangesNothing_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("the progress shown") << "progress";
    QTest::newRow("another handler of its loop") << "other";
}

// A discovery that runs out of memory while tshark still writes (an
// Ethernet-only capture, which would switch the source attribute) ends at
// once: tshark is stopped, nothing read is taken, the dialog and the source
// attribute stay as they were, and one box says why. Opened again, the
// capture is read.
void FieldDiscoveryTest::outOfMemoryChangesNothing()
{
    QFETCH(QString, where);
    TempWorkDir tools;
    const QByteArray document = run("tshark", {"-r", captures["ethernet-only"], "-T", "pdml"});
    // The first packet whole, then nothing for long.
    const int first = document.indexOf("</packet>") + 9;
    tools.write("start.pdml", document.left(first));
    writeScript(tools, "tshark",
                "case \"$2\" in *hang*) cd \"$(dirname \"$0\")\"; echo $$ > pid; cat start.pdml; "
                "exec sleep 30;; *) exec /usr/bin/tshark \"$@\";; esac");
    const QString hang = dir.filePath("hang.pcapng");
    QFile::remove(hang);
    QVERIFY(QFile::copy(captures["ethernet-only"], hang));

    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText(tools.filePath("tshark"));
    Boxes boxes;
    FileAnswers answers({captures["http"], hang, hang});
    dialog.openFile();
    const QStringList items = shownItems(dialog);
    const QStringList all = dialog.allFields.toQList();
    const QStringList selected = dialog.selectedFields.toQList();
    const QString count = dialog.consoleCount->text();
    QVERIFY(items.size() > 50);

    bool injected = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &dialog, [&]() {
        if (injected || !dialog.discoveryProgress || !alive(tools.filePath("pid")))
            return;
        injected = true;
        if (where == "other") {
            HandlerGuard::run([]() { throw std::bad_alloc(); });
            return;
        }
        // The next packet count shown runs out of memory.
        QProgressBar* bar = dialog.discoveryProgress->findChild<QProgressBar*>();
        connect(bar, &QProgressBar::valueChanged, bar, [](int value) {
            if (value > 0)
                throw std::bad_alloc();
        });
    });
    poll.start(10);
    QElapsedTimer clock;
    clock.start();
    dialog.openFile();
    poll.stop();
    QVERIFY(injected);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY(!alive(tools.filePath("pid")));
    QCoreApplication::processEvents();
    // Another handler tells of its own failure, before or after the
    // discovery's box: its box is queued, and the discovery may stop first.
    if (where == "other") {
        const auto own = std::find_if(boxes.requests.begin(), boxes.requests.end(),
                                      [](const MessageAsker::Request& r) { return r.title == "Out of memory"; });
        QVERIFY(own != boxes.requests.end());
        boxes.requests.erase(own);
    }
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("Conversion PCAP CSV"));
    QCOMPARE(boxes.requests.at(0).text,
             QStringLiteral("Reading the fields of the capture ran out of memory and was stopped; "
                            "the dialog was left as it was."));
    QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("ip.src"));
    QVERIFY(!dialog.discovery && !dialog.discoveryProgress);
    QCOMPARE(dialog.inputLabel->text(), captures["http"]);
    QCOMPARE(dialog.outputLabel->text(), dir.filePath("http.csv"));
    QCOMPARE(dialog.allFields.toQList(), all);
    QCOMPARE(dialog.selectedFields.toQList(), selected);
    QCOMPARE(shownItems(dialog), items);
    QCOMPARE(dialog.consoleCount->text(), count);

    // Read again without a failure, by the real tshark.
    boxes.requests.clear();
    dialog.tsharkLabel->setText("/usr/bin/tshark");
    dialog.openFile();
    QCOMPARE(dialog.inputLabel->text(), hang);
    QCOMPARE(dialog.allFields.toQList(), recordedFields("ethernet-only"));
    QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("eth.src"));
    QVERIFY(boxes.requests.isEmpty());
}

LUMIVANE_TEST(FieldDiscoveryTest)
#include "FieldDiscoveryTest.moc"
