#include "TestRegistry.h"

#include "ConversionTools.h"
#include "DebugCapture.h"
#include "FileAnswers.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "capture/MultiListWidget.h"
#include "capture/ParseWidget.h"
#include "capture/Smb2XesExporter.h"
#include "capture/WiresharkTerminalStream.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <new>

using namespace conversiontest;

namespace {

const QStringList START{"frame.time_epoch", "ip.src", "ip.dst"};

QListWidgetItem* itemOf(ParseWidget& dialog, const QString& field)
{
    const QList<QListWidgetItem*> items = dialog.fieldList->findItems(field, Qt::MatchExactly);
    return items.isEmpty() ? nullptr : items.first();
}

// Rows of a converted file after its header.
QList<QByteArray> rowsOf(const QString& path)
{
    QList<QByteArray> rows = readAll(path).split('\n').mid(1);
    rows.removeAll(QByteArray());
    return rows;
}

} // namespace

class ParseWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startAndToolPaths_data();
    void startAndToolPaths();
    void findTshark_data();
    void findTshark();
    void openProposesOutput_data();
    void openProposesOutput();
    void saveAs_data();
    void saveAs();
    void defaultsSelectedOnce();
    void importChoicesAsFields_data();
    void importChoicesAsFields();
    void checksNearTheLimit();
    void checkAll_data();
    void checkAll();
    void autoSelectStaysWithinLimit_data();
    void autoSelectStaysWithinLimit();
    void fieldsThatFitCanBeTicked_data();
    void fieldsThatFitCanBeTicked();
    void convertsWithDisplayFilter();
    void toolsOutsideSearchPath_data();
    void toolsOutsideSearchPath();
    void emptyFieldListSaysWhy_data();
    void emptyFieldListSaysWhy();
    void conversionFailures_data();
    void conversionFailures();
    void overwrite_data();
    void overwrite();
    void cancelStopsConversion();
    void conversionOutOfMemory_data();
    void conversionOutOfMemory();
    void earlierFieldsShown_data();
    void earlierFieldsShown();
    void fieldsListedOnce();
    void missingSettingsTshark_data();
    void missingSettingsTshark();
    void menuEntryOpensDialog();
    void dialogsOverMainWindow();

private:
    TempWorkDir classDir;
    std::unique_ptr<TempWorkDir> dir;
    std::unique_ptr<DebugCapture> log;  // made per test: QTest installs its own handler first
    QString http;  // pcap
    QString icmp;  // pcapng
    QString ethernet;  // pcap, Ethernet addresses only
    QString expert;    // pcap, expert info under TCP and under HTTP
    const QString savedTshark = TSHARK_PATH;
};

void ParseWidgetTest::initTestCase()
{
    http = classDir.filePath("http.pcap");
    icmp = classDir.filePath("icmp.pcapng");
    QVERIFY(makeCapture("http.hex", http, "pcap"));
    QVERIFY(makeCapture("icmp-error.hex", icmp, "pcapng"));
    ethernet = classDir.filePath("ethernet.pcap");
    expert = classDir.filePath("expert.pcap");
    QVERIFY(makeCapture("ethernet-only.hex", ethernet, "pcap"));
    QVERIFY(makeCapture("expert-twice.hex", expert, "pcap"));
}

void ParseWidgetTest::init()
{
    dir = std::make_unique<TempWorkDir>();
    log = std::make_unique<DebugCapture>();
    log->setForward(false);
    TSHARK_PATH = "/usr/bin/tshark";
}

void ParseWidgetTest::cleanup()
{
    log.reset();
    dir.reset();
    TSHARK_PATH = savedTshark;
    SRC_ATTRIBUTE = "ip.src";
    DST_ATTRIBUTE = "ip.dst";
    TIME_ATTRIBUTE = "frame.time_epoch";
}

void ParseWidgetTest::startAndToolPaths_data()
{
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("tsharkPath");  // the process-wide path
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("capinfos");
    QTest::addColumn<QString>("tshark");
    // An executable tshark of the settings runs, and the capinfos beside it.
    QTest::newRow("linux") << "linux" << "/usr/bin/tshark" << "/usr/bin/tshark" << "/usr/bin/capinfos"
                           << "/usr/bin/tshark";
    QTest::newRow("macos, no tshark there") << "macos" << "/nonexistent/tshark" << "" << "capinfos" << "tshark";
    QTest::newRow("linux, not executable") << "linux" << "/usr/bin/tshark" << "/etc/passwd" << "capinfos"
                                           << "tshark";
    QTest::newRow("other system") << "plan9" << "/usr/bin/tshark" << "/usr/bin/tshark" << "/usr/bin/capinfos"
                                  << "/usr/bin/tshark";
    QTest::newRow("other system, no tshark") << "plan9" << "/nonexistent/tshark" << "" << "" << "";
    QTest::newRow("windows") << "windows" << "C:/Program Files/Wireshark/tshark.exe"
                             << "C:/Program Files/Wireshark/tshark.exe"
                             << "C:/Program Files/Wireshark/capinfos.exe"
                             << "C:/Program Files/Wireshark/tshark.exe";
}

void ParseWidgetTest::startAndToolPaths()
{
    QFETCH(QString, os);
    QFETCH(QString, tsharkPath);
    QFETCH(QString, label);
    QFETCH(QString, capinfos);
    QFETCH(QString, tshark);
    TSHARK_PATH = tsharkPath;
    ParseWidget dialog(nullptr);
    QCOMPARE(dialog.selectedFields.toQList(), START);
    QCOMPARE(dialog.tsharkLabel->text(), ParseWidget::isTshark(tsharkPath) ? tsharkPath : QString());
    // A path of the settings that names nothing is said, and what runs instead.
    QCOMPARE(dialog.tsharkStatus->text(),
             dialog.tsharkLabel->text().isEmpty()
                 ? QString("The path in settings.txt, \"%1\", does not exist: the tshark on PATH "
                           "(%2) is used.").arg(tsharkPath, QStandardPaths::findExecutable("tshark"))
                 : QString("Found!"));
    QVERIFY(!dialog.convertButton->isEnabled());
    dialog.os = os;
    dialog.tsharkLabel->setText(label);
    QCOMPARE(dialog.capinfosProgram(), capinfos);
    QCOMPARE(dialog.tsharkProgram(), tshark);
}

void ParseWidgetTest::findTshark_data()
{
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("answer");  // empty: cancelled
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("style");
    QTest::newRow("linux") << "linux" << "/usr/bin/tshark" << "" << "Found!" << "color: green;";
    QTest::newRow("windows") << "windows" << "/usr/bin/tshark" << "*.exe" << "Found!" << "color: green;";
    QTest::newRow("not tshark, kept anyway") << "linux" << "/bin/sh" << "" << "Not Found!" << "color: red;";
    // The status of the settings' path stays.
    QTest::newRow("cancelled") << "linux" << "" << ""
                               << "The path in settings.txt, \"/nonexistent/tshark\", does not exist: "
                                  "the tshark on PATH (/usr/bin/tshark) is used."
                               << "color: darkorange;";
}

void ParseWidgetTest::findTshark()
{
    QFETCH(QString, os);
    QFETCH(QString, answer);
    QFETCH(QString, filter);
    QFETCH(QString, status);
    QFETCH(QString, style);
    TSHARK_PATH = "/nonexistent/tshark";
    QFile::remove(SETTINGS_PATH);
    ParseWidget dialog(nullptr);
    dialog.os = os;
    dialog.inputLabel->setText("in.pcap");
    dialog.outputLabel->setText("out.csv");
    FileAnswers answers({answer});
    dialog.findButton->click();
    QCOMPARE(answers.requests.at(0).caption, QStringLiteral("Find tshark (WireShark)"));
    QCOMPARE(answers.requests.at(0).filter, filter);
    QCOMPARE(dialog.tsharkLabel->text(), answer);
    QCOMPARE(dialog.tsharkStatus->text(), status);
    QCOMPARE(dialog.tsharkStatus->styleSheet(), style);
    // Without a path of its own the dialog converts with the tshark on PATH.
    QVERIFY(dialog.convertButton->isEnabled());
    QCOMPARE(TSHARK_PATH, answer.isEmpty() ? QString("/nonexistent/tshark") : answer);
    QCOMPARE(readAll(SETTINGS_PATH),
             answer.isEmpty() ? QByteArray("<missing>") : (answer + '\n' + WIRESHARK_PATH).toUtf8());
    QCOMPARE(log->contains("Open WireShark failed"), answer.isEmpty());
    QFile::remove(SETTINGS_PATH);
}

void ParseWidgetTest::openProposesOutput_data()
{
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("output");
    QTest::newRow("folder with a dot") << "v1.2/trace.pcap" << "v1.2/trace.csv";
    QTest::newRow("hidden folder") << ".cache/trace.pcap" << ".cache/trace.csv";
    QTest::newRow("two dots in the name") << "a/trace.2024.pcap" << "a/trace.csv";
    QTest::newRow("no dot") << "a/trace" << "a/trace.csv";
    QTest::newRow("cancelled") << "" << "";
}

void ParseWidgetTest::openProposesOutput()
{
    QFETCH(QString, capture);
    QFETCH(QString, output);
    ParseWidget dialog(nullptr);
    dialog.os = "none";
    FileAnswers answers({capture.isEmpty() ? "" : dir->filePath(capture)});
    Boxes boxes;
    dialog.openButton->click();
    // No capture there, no fields: the box says so.
    QCOMPARE(boxes.texts.size(), capture.isEmpty() ? 0 : 1);
    QCOMPARE(answers.requests.at(0).caption, QStringLiteral("Open PCAP"));
    QCOMPARE(answers.requests.at(0).filter, QStringLiteral("*.pcap"));
    QCOMPARE(dialog.outputLabel->text(), output.isEmpty() ? QString() : dir->filePath(output));
    QCOMPARE(dialog.convertButton->isEnabled(), !capture.isEmpty());
    QCOMPARE(log->contains("Open file failed"), capture.isEmpty());
}

void ParseWidgetTest::saveAs_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("label");
    QTest::newRow("without .csv") << "/data/out" << "/data/out.csv";
    QTest::newRow("with .csv") << "/data/out.csv" << "/data/out.csv";
    QTest::newRow(".csv inside") << "/data/x.csv.txt" << "/data/x.csv.txt";
    QTest::newRow("cancelled") << "" << "";
}

void ParseWidgetTest::saveAs()
{
    QFETCH(QString, answer);
    QFETCH(QString, label);
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText("in.pcap");
    FileAnswers answers({answer});
    dialog.saveButton->click();
    QCOMPARE(answers.requests.at(0).caption, QStringLiteral("Save CSV"));
    QCOMPARE(answers.requests.at(0).filter, QStringLiteral("*.csv"));
    QCOMPARE(dialog.outputLabel->text(), label);
    QCOMPARE(dialog.convertButton->isEnabled(), !label.isEmpty());
    QCOMPARE(log->contains("Save WireShark failed"), answer.isEmpty());
}

// Opening the capture again (or another one) selects no field twice.
void ParseWidgetTest::defaultsSelectedOnce()
{
    ParseWidget dialog(nullptr);
    FileAnswers answers({http, http});
    dialog.openButton->click();
    dialog.openButton->click();
    const QStringList defaults{"tcp.srcport", "tcp.dstport", "tcp.stream", "frame.len", "frame.protocols"};
    QCOMPARE(dialog.selectedFields.toQList(), START + defaults);
    QStringList offered = dialog.allFields.toQList();
    offered.removeDuplicates();  // the expert info stands under two protocols
    QCOMPARE(dialog.fieldList->count(), offered.size());
    QCOMPARE(dialog.outputLabel->text(), classDir.filePath("http.csv"));
    itemOf(dialog, "tcp.srcport")->setCheckState(Qt::Unchecked);
    QVERIFY(!dialog.selectedFields.contains("tcp.srcport"));
    QCOMPARE(dialog.selectedFields.size(), 3 + 4);
}

void ParseWidgetTest::importChoicesAsFields_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QStringList>("selected");
    QTest::newRow("destination none") << "frame.number" << "none"
                                      << QStringList{"frame.time_epoch", "frame.number"};
    QTest::newRow("source is the time") << "frame.time_epoch" << "none" << QStringList{"frame.time_epoch"};
    QTest::newRow("no source") << "" << "ip.dst" << QStringList{"frame.time_epoch", "ip.dst"};
}

// The attributes chosen at the last import start the selection, which is
// what tshark gets: "none" is no field, and none is passed twice.
void ParseWidgetTest::importChoicesAsFields()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QStringList, selected);
    SRC_ATTRIBUTE = source;
    DST_ATTRIBUTE = destination;
    ParseWidget dialog(nullptr);
    QCOMPARE(dialog.selectedFields.toQList(), selected);
}

void ParseWidgetTest::checksNearTheLimit()
{
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->clear();
    const QString filler(8180 - 17 - 16 - 12, 'f');  // 17 before the fields, 16 after
    dialog.selectedFields = {filler, "abcdefghijk"};
    dialog.allFields = {"abcdefghij", "abcdefghijk", "zyxwvutsrqp"};
    dialog.fillFieldList();
    QCOMPARE(dialog.consoleCount->text(), QStringLiteral("Console characters used: 8180/8191"));
    QListWidgetItem* ten = itemOf(dialog, "abcdefghij");
    QListWidgetItem* mine = itemOf(dialog, "abcdefghijk");
    QListWidgetItem* other = itemOf(dialog, "zyxwvutsrqp");
    QVERIFY(ten->flags() & Qt::ItemIsEnabled);
    QCOMPARE(other->flags(), Qt::ItemIsUserCheckable);  // no room beside the line
    QCOMPARE(mine->checkState(), Qt::Checked);

    other->setCheckState(Qt::Checked);  // refused, and shown as refused
    QCOMPARE(other->checkState(), Qt::Unchecked);
    QCOMPARE(dialog.selectedFields.toQList(), QStringList({filler, "abcdefghijk"}));
    mine->setCheckState(Qt::Unchecked);  // always taken
    QCOMPARE(dialog.selectedFields.toQList(), QStringList({filler}));
    ten->setCheckState(Qt::Checked);  // 8168 + 10 < 8191
    QCOMPARE(dialog.selectedFields.toQList(), QStringList({filler, "abcdefghij"}));
    QCOMPARE(dialog.consoleCount->text(), QStringLiteral("Console characters used: 8179/8191"));
}

void ParseWidgetTest::checkAll_data()
{
    QTest::addColumn<QStringList>("checked");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QStringList>("after");
    QTest::newRow("none checked: check all") << QStringList{} << QList<int>{0, 2} << QStringList{"a.a", "c.c"};
    QTest::newRow("one checked: uncheck all") << QStringList{"b.b", "d.d"} << QList<int>{0, 1, 2}
                                              << QStringList{"d.d"};
}

void ParseWidgetTest::checkAll()
{
    QFETCH(QStringList, checked);
    QFETCH(QList<int>, selected);
    QFETCH(QStringList, after);
    ParseWidget dialog(nullptr);
    dialog.allFields = {"a.a", "b.b", "c.c", "d.d"};
    dialog.selectedFields = TList<QString>(checked);
    dialog.fillFieldList();
    for (int row : selected)
        dialog.fieldList->item(row)->setSelected(true);
    dialog.fieldList->menu()->actions().at(0)->trigger();
    QCOMPARE(dialog.selectedFields.toQList(), after);
    for (int row = 0; row < 4; ++row)
        QCOMPARE(dialog.fieldList->item(row)->checkState() == Qt::Checked,
                 after.contains(dialog.fieldList->item(row)->text()));
}

void ParseWidgetTest::autoSelectStaysWithinLimit_data()
{
    QTest::addColumn<int>("pathLength");  // of the tshark label
    QTest::addColumn<int>("taken");        // fields Auto-Select takes
    QTest::newRow("fills the line") << 15 << 79;
    QTest::newRow("no room at all") << 8200 << 0;
}

// Auto-Select keeps the line within the limit, and every ticked field,
// those of the import among them, can still be unticked.
void ParseWidgetTest::autoSelectStaysWithinLimit()
{
    QFETCH(int, pathLength);
    QFETCH(int, taken);
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText(QString(pathLength, 't'));
    for (int k = 0; k < 200; ++k)
        dialog.allFields.append(QString("p%1.").arg(k, 3, 10, QChar('0')) + QString(96, 'x'));
    dialog.allFields.append("ip.src");  // selected already; the other two are not offered
    dialog.autoSelectButton->click();
    QCOMPARE(dialog.selectedFields.size(), 3 + taken);
    const int length = dialog.consoleLine.size();
    if (taken > 0) {
        QVERIFY2(length <= 8191 && length + 101 >= 8191, qPrintable(QString::number(length)));
        QCOMPARE(dialog.consoleCount->text(), QString("Console characters used: %1/8191").arg(length));
        QCOMPARE(dialog.selectedFields.at(3), dialog.allFields.at(0));
    }
    for (const QString& field : START) {
        QListWidgetItem* item = itemOf(dialog, field);
        QVERIFY2(item && item->checkState() == Qt::Checked, qPrintable(field));
    }
    for (int row = 0; row < dialog.fieldList->count(); ++row) {
        QListWidgetItem* item = dialog.fieldList->item(row);
        const bool ticked = item->checkState() == Qt::Checked;
        QCOMPARE(bool(item->flags() & Qt::ItemIsEnabled), ticked);  // no room for the others
        QVERIFY(item->flags() & Qt::ItemIsUserCheckable);
    }
    // Unticking takes the field out, for one of the import and an offered one.
    for (const QString& field : {QString("ip.dst"), QString("ip.src")}) {
        itemOf(dialog, field)->setCheckState(Qt::Unchecked);
        QVERIFY(!dialog.selectedFields.contains(field));
    }
    QCOMPARE(dialog.selectedFields.size(), 1 + taken);
}

void ParseWidgetTest::fieldsThatFitCanBeTicked_data()
{
    QTest::addColumn<QStringList>("untick");  // two by "Select/Deselect all"
    QTest::addColumn<QString>("tick");
    QTest::addColumn<QStringList>("open");  // the unticked fields that can be ticked then
    const QStringList two{"_ws.expert", "_ws.expert.group"};
    const QStringList upTo11{"_ws.expert", "tcp.seq_raw", "tcp.srcport", "tcp.stream"};
    const QStringList upTo20 = upTo11 + QStringList{"_ws.expert.group", "tcp.time_delta", "tcp.time_relative",
                                                    "tcp.urgent_pointer", "tcp.window_size"};
    QTest::newRow("Auto-Select, 8190") << QStringList{} << "" << QStringList{};
    QTest::newRow("untick, 8179") << QStringList{"_ws.expert"} << "" << upTo11 + QStringList{"tcp.seq"};
    QTest::newRow("untick and tick, 8187") << QStringList{"_ws.expert"} << "tcp.seq" << QStringList{};
    QTest::newRow("untick two, 8162")
        << two << "" << upTo20 + QStringList{"tcp.seq", "tcp.window_size_scalefactor", "tcp.window_size_value"};
    QTest::newRow("untick two and tick, 8170") << two << "tcp.seq" << upTo20;  // 21 left
}

// Ticked fields stay enabled; an unticked one is enabled when it fits.
void ParseWidgetTest::fieldsThatFitCanBeTicked()
{
    QFETCH(QStringList, untick);
    QFETCH(QString, tick);
    QFETCH(QStringList, open);
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText(QString(5948, 't'));
    dialog.allFields = TList<QString>(
        QString::fromUtf8(readAll(testDataPath("capture/fields/http.txt"))).split('\n', Qt::SkipEmptyParts));
    dialog.autoSelectButton->click();
    for (const QString& field : untick) {
        if (untick.size() == 1)
            itemOf(dialog, field)->setCheckState(Qt::Unchecked);
        else
            itemOf(dialog, field)->setSelected(true);
    }
    dialog.fieldList->menu()->actions().at(0)->trigger();  // no-op without a selection
    if (!tick.isEmpty()) {
        QVERIFY(itemOf(dialog, tick)->flags() & Qt::ItemIsEnabled);
        itemOf(dialog, tick)->setCheckState(Qt::Checked);
        QVERIFY(dialog.selectedFields.contains(tick));
    }
    QStringList opened;
    for (int row = 0; row < dialog.fieldList->count(); ++row) {
        QListWidgetItem* item = dialog.fieldList->item(row);
        const bool ticked = item->checkState() == Qt::Checked;
        QVERIFY(ticked <= bool(item->flags() & Qt::ItemIsEnabled));
        if (!ticked && (item->flags() & Qt::ItemIsEnabled))
            opened << item->text();
    }
    opened.sort();
    open.sort();
    QCOMPARE(opened, open);
}

void ParseWidgetTest::convertsWithDisplayFilter()
{
    ParseWidget dialog(nullptr);
    FileAnswers answers({icmp});
    dialog.openButton->click();
    dialog.outputLabel->setText(dir->filePath("icmp.csv"));
    dialog.filterEdit->setText("icmp");
    dialog.selectedFields = {"frame.number", "ip.src", "icmp.type", "udp.dstport"};
    Boxes boxes;
    dialog.convertButton->click();
    QCOMPARE(boxes.texts, QStringList{"Conversion successful"});
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("Conversion PCAP CSV"));
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(dialog.filterEdit->toolTip().contains("display filter"));
    QVERIFY(dialog.filterEdit->toolTip().contains("-Y"));
    const QList<QByteArray> expected =
        run("tshark", {"-r", icmp, "-Y", "icmp", "-T", "fields", "-e", "frame.number"}).split('\n');
    QCOMPARE(expected.size() - 1, 3);
    QCOMPARE(rowsOf(dir->filePath("icmp.csv")), QList<QByteArray>({"2,127.0.0.1,3,9\r", "4,127.0.0.1,3,7\r",
                                                                  "6,127.0.0.1,3,13\r"}));
}

// The tools that the settings name run from outside the search path:
// stand-ins that log their start and hand over to the real tools.
void ParseWidgetTest::toolsOutsideSearchPath_data()
{
    QTest::addColumn<bool>("capinfosBeside");
    QTest::newRow("capinfos beside tshark") << true;
    QTest::newRow("tshark alone") << false;
}

void ParseWidgetTest::toolsOutsideSearchPath()
{
    QFETCH(bool, capinfosBeside);
    TempWorkDir tools;
    const QString calls = tools.filePath("calls.txt");
    writeScript(tools, "tshark", "echo tshark \"$*\" >> '" + calls + "'\nexec /usr/bin/tshark \"$@\"");
    if (capinfosBeside)
        writeScript(tools, "capinfos", "echo capinfos >> '" + calls + "'\nexec /usr/bin/capinfos \"$@\"");
    TempWorkDir empty;
    SearchPath path(empty.path(), true);
    TSHARK_PATH = tools.filePath("tshark");

    ParseWidget dialog(nullptr);
    QCOMPARE(dialog.tsharkStatus->text(), QStringLiteral("Found!"));
    FileAnswers answers({http});
    Boxes boxes;
    dialog.openButton->click();
    QVERIFY(dialog.allFields.contains("tcp.srcport"));
    dialog.outputLabel->setText(dir->filePath("http.csv"));
    dialog.selectedFields = {"frame.number", "ip.src"};
    dialog.convertButton->click();
    QCOMPARE(boxes.texts, QStringList{"Conversion successful"});
    QCOMPARE(rowsOf(dir->filePath("http.csv")).size(), 36);
    // Discovery, count and conversion; the count only with capinfos there.
    const QStringList lines = QString::fromUtf8(readAll(calls)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), capinfosBeside ? 3 : 2);
    QVERIFY(lines.first().startsWith("tshark ") && lines.first().endsWith("-T pdml"));
    if (capinfosBeside)
        QCOMPARE(lines.at(1), QStringLiteral("capinfos"));
    QVERIFY(lines.last().contains("-T fields -E separator=~"));
}

void ParseWidgetTest::emptyFieldListSaysWhy_data()
{
    QTest::addColumn<bool>("tsharkThere");
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no tshark anywhere") << false << "http"
                                        << "tshark could not be started: \"%1\" is no executable "
                                           "program, and there is no tshark on the search path";
    QTest::newRow("not a capture") << true << "capture/not-a-capture.txt"
                                   << "tshark said:\ntshark: The file";
}

void ParseWidgetTest::emptyFieldListSaysWhy()
{
    QFETCH(bool, tsharkThere);
    QFETCH(QString, capture);
    QFETCH(QString, reason);
    TempWorkDir empty;
    // A file named tshark that cannot run, and nothing on the search path.
    const QString notRunnable = dir->write("tshark", "not a program");
    std::unique_ptr<SearchPath> path(tsharkThere ? nullptr : new SearchPath(empty.path(), true));
    ParseWidget dialog(nullptr);
    if (!tsharkThere)
        dialog.tsharkLabel->setText(notRunnable);
    FileAnswers answers({capture == "http" ? http : testDataPath(capture)});
    Boxes boxes;
    dialog.openButton->click();
    QCOMPARE(dialog.fieldList->count(), 0);
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("Conversion PCAP CSV"));
    const QString text = boxes.texts.at(0);
    QVERIFY2(text.startsWith("No fields were found in the capture.\n" + reason.arg(notRunnable)),
             qPrintable(text));
    QVERIFY(!text.contains("Running as user"));
}

void ParseWidgetTest::conversionFailures_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("reason");
    // The refused field leaves the selection; the old output stays.
    QTest::newRow("invalid field") << "no.such.field" << "" << "Conversion PCAP CSV"
                                   << "Conversion failed:\n";
    QTest::newRow("settings name a missing tshark")
        << "frame.number" << "missing tshark" << "Conversion PCAP CSV"
        << "Conversion failed:\ntshark could not be started: \"%1\" (the path in settings.txt) "
           "does not exist, and there is no tshark on the search path (PATH).";
    // The old output stays: nothing is converted.
    QTest::newRow("no tshark anywhere")
        << "frame.number" << "no tshark" << "Conversion PCAP CSV"
        << "Conversion failed:\ntshark could not be started: \"%1\" is no executable program, and "
           "there is no tshark on the search path (PATH). Choose the tshark program with \"Find\"";
    // The stream's own box; the dialog does not repeat it.
    QTest::newRow("output cannot be created") << "frame.number" << "folder" << "LumiVane"
                                              << "The file could not be created";
    // No header-only file in place of the old one.
    QTest::newRow("no packet passes the filter")
        << "ip.src" << "filter" << "Conversion PCAP CSV"
        << "Conversion failed:\nNo packet passed the filter \"dns\": nothing was converted.";
}

void ParseWidgetTest::conversionFailures()
{
    QFETCH(QString, field);
    QFETCH(QString, setup);
    QFETCH(QString, title);
    QFETCH(QString, reason);
    const QString notRunnable = dir->write("tshark", "not a program");
    const QString missing = dir->filePath("gone/tshark");
    if (setup == "missing tshark")
        TSHARK_PATH = missing;
    const QString output = dir->filePath("out.csv");
    if (setup == "folder")
        QVERIFY(QDir(dir->path()).mkdir("out.csv"));
    else
        dir->write("out.csv", "the old file");
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(http);
    dialog.outputLabel->setText(output);
    dialog.selectedFields = {"frame.number", field};
    if (setup == "filter")
        dialog.filterEdit->setText("dns");
    Boxes boxes;  // Yes to the overwrite question
    const bool noTshark = setup == "no tshark" || setup == "missing tshark";
    {
        TempWorkDir empty;
        std::unique_ptr<SearchPath> path(noTshark ? new SearchPath(empty.path(), true) : nullptr);
        if (setup == "no tshark")
            dialog.tsharkLabel->setText(notRunnable);
        dialog.parseData();
    }
    QList<MessageAsker::Request> failures = boxes.requests;
    // Without tshark nothing is asked first.
    if (!noTshark)
        QCOMPARE(failures.takeFirst().title, QStringLiteral("File exists"));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.at(0).title, title);
    QCOMPARE(failures.at(0).parent, static_cast<QWidget*>(&dialog));  // over the dialog
    const QString text = failures.at(0).text;
    QVERIFY2(text.startsWith(reason.arg(setup == "missing tshark" ? missing : notRunnable)),
             qPrintable(text));
    if (field == "no.such.field") {
        QVERIFY(text.endsWith("These fields were taken out of the selection: no.such.field."));
        QCOMPARE(dialog.selectedFields.toQList(), QStringList{"frame.number"});
    }
    if (setup != "folder")
        QCOMPARE(readAll(output), QByteArray("the old file"));
    QVERIFY(dialog.result() != QDialog::Accepted && !dialog.stream && !dialog.progressDialog);
}

void ParseWidgetTest::overwrite_data()
{
    QTest::addColumn<bool>("itself");  // the output is the capture
    QTest::addColumn<int>("answer");
    QTest::newRow("No keeps the file") << false << int(QMessageBox::No);
    QTest::newRow("Yes replaces it") << false << int(QMessageBox::Yes);
    QTest::newRow("output is the capture") << true << int(QMessageBox::Yes);
}

void ParseWidgetTest::overwrite()
{
    QFETCH(bool, itself);
    QFETCH(int, answer);
    const QString capture = dir->filePath("cap.csv");  // a capture named like a log
    QVERIFY(QFile::copy(http, capture));
    const QString output = itself ? capture : dir->write("old.csv", "the old file");
    const QByteArray before = readAll(output);
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(capture);
    dialog.outputLabel->setText(output);
    dialog.selectedFields = {"frame.number"};
    Boxes boxes{QMessageBox::StandardButton(answer)};
    dialog.parseData();
    QCOMPARE(boxes.requests.at(0).title, QString(itself ? "Conversion PCAP CSV" : "File exists"));
    if (!itself)
        QCOMPARE(boxes.texts.at(0), QStringLiteral("The output file already exists. Do you wish to overwrite?"));
    QCOMPARE(log->contains("Overwrite not allowed"), answer == QMessageBox::No);
    const bool converted = !itself && answer == QMessageBox::Yes;
    if (converted)
        QCOMPARE(rowsOf(output).size(), 36);
    QCOMPARE(readAll(output) == before, !converted);
    QCOMPARE(log->contains("Yes was clicked"), converted);
}

void ParseWidgetTest::cancelStopsConversion()
{
    // tshark reads a pipe that stays open after some packets; capinfos,
    // which would wait for the pipe's end, is a stand-in.
    const QString fifo = dir->filePath("live.pcap");
    QVERIFY(QProcess::execute("mkfifo", {fifo}) == 0);
    TempWorkDir tools;
    writeScript(tools, "capinfos", "printf 'File name: x\\nNumber of packets:   1000\\n'");
    writeScript(tools, "tshark", "exec /usr/bin/tshark \"$@\"");
    TSHARK_PATH = tools.filePath("tshark");  // the capinfos beside it runs
    QProcess feeder;
    feeder.start("sh", {"-c", "exec > \"$1\"; head -c 3000 \"$0\"; exec sleep 60", http, fifo});
    QVERIFY(feeder.waitForStarted());

    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(fifo);
    dialog.outputLabel->setText(dir->filePath("live.csv"));
    dialog.selectedFields = {"frame.number", "ip.src"};
    QString label;
    bool shown = false, sameStream = false, fileThere = false;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    connect(&poll, &QTimer::timeout, &dialog, [&]() {
        if (!dialog.stream || (dialog.stream->rowsWritten == 0 && clock.elapsed() < 15000))
            return;
        poll.stop();
        label = dialog.progressDialog->labelText();
        shown = dialog.progressDialog->isVisible();
        fileThere = QFile::exists(dir->filePath("live.csv"));
        WiresharkTerminalStream* running = dialog.stream;
        dialog.parseData();  // a second Convert is ignored
        sameStream = dialog.stream == running;
        dialog.progressDialog->findChild<QPushButton*>()->click();  // the user's Cancel
    });
    poll.start(20);
    Boxes boxes;
    dialog.parseData();
    QVERIFY(clock.elapsed() < 20000);
    QCOMPARE(label, QStringLiteral("Converting data... : Parsed 1/1000 Packets"));
    // The output appears only when a conversion succeeds; nothing is left.
    QVERIFY(shown && sameStream && !fileThere);
    QVERIFY(!QFile::exists(dir->filePath("live.csv")));
    QCOMPARE(QDir(dir->path()).entryList({"live.csv*"}, QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(log->contains("kill"));
    QCOMPARE(boxes.texts, QStringList{"Conversion aborted."});
    QVERIFY(dialog.result() != QDialog::Accepted && !dialog.stream);
    feeder.kill();
    feeder.waitForFinished();
}

void ParseWidgetTest::conversionOutOfMemory_data()
{
    QTest::addColumn<int>("failing");  // the progress update that runs out of memory
    QTest::addColumn<bool>("other");   // another handler of the loop runs out instead
    QTest::newRow("first progress, before tshark starts") << 1 << false;
    QTest::newRow("last progress, when tshark has ended") << 2 << false;
    QTest::newRow("another handler while tshark runs") << 0 << true;
}

// A conversion that runs out of memory anywhere fails as a whole: the old
// output stays, one box says why, the dialog stays open, and Convert then
// converts every row once.
void ParseWidgetTest::conversionOutOfMemory()
{
    QFETCH(int, failing);
    QFETCH(bool, other);
    TempWorkDir tools;
    writeScript(tools, "capinfos", "printf 'File name: x\\nNumber of packets:   3\\n'");
    const auto tshark = [&](const char* pause) {
        writeScript(tools, "tshark",
                    QString("echo '\"1\"~\"10.0.0.1\"'; sleep %1; echo '\"2\"~\"10.0.0.2\"'; "
                            "echo '\"3\"~\"10.0.0.3\"'").arg(pause));
    };
    tshark(other ? "5" : "0.05");
    TSHARK_PATH = tools.filePath("tshark");
    const QString output = dir->write("out.csv", "the old file");
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(http);
    dialog.outputLabel->setText(output);
    dialog.selectedFields = {"frame.number", "ip.src"};
    int updates = 0;
    const QMetaObject::Connection injected =
        connect(&dialog, &ParseWidget::setLabelText, &dialog, [&](const QString&) {
            if (++updates == failing)
                throw std::bad_alloc();
            if (other && updates == 1)
                QTimer::singleShot(200, &dialog, []() { HandlerGuard::run([]() { throw std::bad_alloc(); }); });
        });
    Boxes boxes;  // Yes to the overwrite question
    QElapsedTimer clock;
    clock.start();
    dialog.parseData();
    QVERIFY(clock.elapsed() < 4000 || !other);  // stopped, not waited for
    QCoreApplication::processEvents();
    QList<MessageAsker::Request> told = boxes.requests;
    QCOMPARE(told.takeFirst().text, QStringLiteral("The output file already exists. Do you wish to overwrite?"));
    // Another handler tells of its own failure, before or after the
    // conversion's box: its box is queued, and the conversion may stop first.
    if (other) {
        const auto own = std::find_if(told.begin(), told.end(),
                                      [](const MessageAsker::Request& r) { return r.title == "Out of memory"; });
        QVERIFY(own != told.end());
        told.erase(own);
    }
    QCOMPARE(told.size(), 1);
    QCOMPARE(told.at(0).text, QStringLiteral("Conversion failed:\nThe conversion ran out of memory and "
                                             "was stopped; the output file was left as it was."));
    QCOMPARE(told.at(0).title, QStringLiteral("Conversion PCAP CSV"));
    QCOMPARE(readAll(output), QByteArray("the old file"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"out.csv"});
    QVERIFY(dialog.result() != QDialog::Accepted && !dialog.stream && !dialog.progressDialog);

    disconnect(injected);
    tshark("0.05");
    boxes.texts.clear();
    dialog.parseData();
    QCOMPARE(boxes.texts.last(), QStringLiteral("Conversion successful"));
    QCOMPARE(readAll(output), QByteArray("frame.number,ip.src\n1,10.0.0.1\r\n2,10.0.0.2\r\n3,10.0.0.3\r\n"));
}

void ParseWidgetTest::earlierFieldsShown_data()
{
    QTest::addColumn<QString>("source");  // the import's choice
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<QStringList>("unfound");  // selected, not in the last capture
    QTest::newRow("TCP fields of an earlier capture")
        << "ip.src" << QStringList{"http", "icmp"}
        << QStringList{"tcp.srcport", "tcp.dstport", "tcp.stream"};
    QTest::newRow("the import's column") << "my.column" << QStringList{"icmp"} << QStringList{"my.column"};
    QTest::newRow("Ethernet addresses only") << "ip.src" << QStringList{"ethernet"}
                                             << QStringList{"ip.src", "ip.dst"};
}

// Every field that will be converted is in the list: those that the last
// capture did not show head it, ticked, and can be unticked.
void ParseWidgetTest::earlierFieldsShown()
{
    QFETCH(QString, source);
    QFETCH(QStringList, opened);
    QFETCH(QStringList, unfound);
    SRC_ATTRIBUTE = source;
    ParseWidget dialog(nullptr);
    QStringList paths;
    for (const QString& name : opened)
        paths << (name == "http" ? http : name == "icmp" ? icmp : ethernet);
    FileAnswers answers(paths);
    for (int k = 0; k < opened.size(); ++k)
        dialog.openButton->click();
    QStringList offered = dialog.allFields.toQList();
    offered.removeDuplicates();
    QCOMPARE(dialog.fieldList->count(), unfound.size() + offered.size());
    for (int row = 0; row < unfound.size(); ++row) {
        QListWidgetItem* item = dialog.fieldList->item(row);
        QCOMPARE(item->text(), unfound.at(row));
        QCOMPARE(item->checkState(), Qt::Checked);
        QVERIFY(item->flags() & Qt::ItemIsEnabled);
        QVERIFY(item->font().italic() && !item->toolTip().isEmpty());
    }
    for (int row = unfound.size(); row < dialog.fieldList->count(); ++row)
        QVERIFY(!unfound.contains(dialog.fieldList->item(row)->text()));
    for (const QString& field : unfound)
        QVERIFY(dialog.selectedFields.contains(field));
    // Unticked, they are not converted.
    for (int row = 0; row < unfound.size(); ++row)
        dialog.fieldList->item(row)->setCheckState(Qt::Unchecked);
    for (const QString& field : unfound)
        QVERIFY(!dialog.selectedFields.contains(field));
    dialog.outputLabel->setText(dir->filePath("out.csv"));
    Boxes boxes;
    dialog.convertButton->click();
    QCOMPARE(boxes.texts, QStringList{"Conversion successful"});
    const QByteArray header = readAll(dir->filePath("out.csv")).split('\n').first();
    QCOMPARE(header, dialog.selectedFields.toQList().join(',').toUtf8());
}

// A field found under two protocols is offered once, selected once, and
// named once in the header, whose column holds its values.
void ParseWidgetTest::fieldsListedOnce()
{
    ParseWidget dialog(nullptr);
    FileAnswers answers({expert});
    dialog.openButton->click();
    QCOMPARE(dialog.allFields.toQList().count("_ws.expert.message"), 2);
    QCOMPARE(dialog.fieldList->findItems("_ws.expert.message", Qt::MatchExactly).size(), 1);
    itemOf(dialog, "_ws.expert.message")->setCheckState(Qt::Checked);
    dialog.autoSelectButton->click();
    QStringList selected = dialog.selectedFields.toQList();
    QCOMPARE(selected.count("_ws.expert.message"), 1);
    QCOMPARE(selected.removeDuplicates(), 0);
    for (int row = 0; row < dialog.fieldList->count(); ++row)
        QCOMPARE(dialog.fieldList->item(row)->checkState(), Qt::Checked);  // all of them fit
    dialog.outputLabel->setText(dir->filePath("expert.csv"));
    Boxes boxes;
    dialog.convertButton->click();
    QCOMPARE(boxes.texts, QStringList{"Conversion successful"});
    const QList<QByteArray> lines = readAll(dir->filePath("expert.csv")).split('\n');
    const QList<QByteArray> header = lines.at(0).split(',');
    QCOMPARE(header.size(), selected.size());
    const int column = header.indexOf("_ws.expert.message");
    QCOMPARE(header.lastIndexOf("_ws.expert.message"), column);
    QCOMPARE(lines.at(1).split(',').at(column),
             QByteArray("Connection establish request (SYN): server port 18766"));
    QCOMPARE(lines.at(2).split(',').at(column), QByteArray("GET /x;yz?q=1 HTTP/1.1\\r\\n"));
}

void ParseWidgetTest::missingSettingsTshark_data()
{
    QTest::addColumn<bool>("onPath");
    QTest::newRow("tshark on PATH") << true;
    QTest::newRow("no tshark on PATH") << false;
}

// The settings name a tshark that is not there: the dialog says so, and
// converts with the tshark on PATH when there is one.
void ParseWidgetTest::missingSettingsTshark()
{
    QFETCH(bool, onPath);
    TSHARK_PATH = dir->filePath("gone/tshark");
    TempWorkDir tools;
    writeScript(tools, "tshark", "exec /usr/bin/tshark \"$@\"");
    SearchPath path(tools.path(), true);  // this one, or none
    if (!onPath)
        QFile::remove(tools.filePath("tshark"));
    ParseWidget dialog(nullptr);
    QVERIFY(dialog.tsharkLabel->text().isEmpty());
    const QString said = "The path in settings.txt, \"" + TSHARK_PATH + "\", does not exist";
    QCOMPARE(dialog.tsharkStatus->text(),
             said + (onPath ? ": the tshark on PATH (" + tools.filePath("tshark") + ") is used."
                            : ". Choose the tshark program with \"Find\"."));
    QCOMPARE(dialog.tsharkStatus->styleSheet(), QString(onPath ? "color: darkorange;" : "color: red;"));
    FileAnswers answers({icmp});
    Boxes boxes;
    dialog.openButton->click();
    QCOMPARE(dialog.allFields.isEmpty(), !onPath);
    QCOMPARE(dialog.convertButton->isEnabled(), onPath);
    dialog.outputLabel->setText(dir->filePath("icmp.csv"));
    dialog.parseData();
    QCOMPARE(boxes.texts.size(), 1 + !onPath);  // no fields without tshark, then the failure
    QVERIFY2(boxes.texts.last().startsWith(onPath ? "Conversion successful" : "Conversion failed:\n"),
             qPrintable(boxes.texts.last()));
    QCOMPARE(rowsOf(dir->filePath("icmp.csv")).size(), onPath ? 6 : 0);
}

void ParseWidgetTest::menuEntryOpensDialog()
{
    ControlWidget control(nullptr);
    QString shown;
    QTimer::singleShot(0, [&]() {
        if (auto* dialog = qobject_cast<ParseWidget*>(QApplication::activeModalWidget())) {
            shown = dialog->tsharkLabel->text();
            dialog->reject();
        }
    });
    control.convertPCAP();
    QCOMPARE(shown, QStringLiteral("/usr/bin/tshark"));
}

// Convert PCAP and Export XES open over the main window, wherever it was
// moved to: their dialogs and boxes have it as their parent.
void ParseWidgetTest::dialogsOverMainWindow()
{
    Boxes boxes;  // a first start without settings says so
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget* parent = nullptr;
    QWindow* transientFor = nullptr;
    QTimer::singleShot(0, [&]() {
        if (auto* dialog = qobject_cast<ParseWidget*>(QApplication::activeModalWidget())) {
            parent = dialog->parentWidget();
            // What the window manager places it over.
            transientFor = dialog->windowHandle()->transientParent();
            dialog->reject();
        }
    });
    window.controlWidget->convertPCAP();
    QCOMPARE(parent, static_cast<QWidget*>(&window));
    QCOMPARE(transientFor, window.windowHandle());

    const QString input = dir->write("smb2.csv", "frame.time_epoch,smb2.cmd\n1,5\n");
    FileAnswers answers({input, dir->filePath("out.xes")});
    boxes.requests.clear();
    window.controlWidget->exportXes();
    QCOMPARE(answers.requests.size(), 2);
    for (const FileAsker::Request& r : answers.requests)
        QCOMPARE(r.parent, static_cast<QWidget*>(&window));
    QCOMPARE(boxes.requests.size(), 1);  // the input lacks fields
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("Failed to save selection"));
    QCOMPARE(boxes.requests.at(0).parent, static_cast<QWidget*>(&window));
}

LUMIVANE_TEST(ParseWidgetTest)
#include "ParseWidgetTest.moc"
