#include "TestRegistry.h"

#include "ConversionTools.h"
#include "DebugCapture.h"
#include "FileAnswers.h"
#include "TempWorkDir.h"
#include "app/ControlWidget.h"
#include "capture/MultiListWidget.h"
#include "capture/ParseWidget.h"
#include "capture/WiresharkTerminalStream.h"
#include "core/Constants.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidgetItem>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace capturetest;

namespace {

const QStringList START_SELECTION{"frame.time_epoch", "ip.src", "ip.dst"};

QString textAt(QGridLayout* grid, int row, int column)
{
    QLayoutItem* item = grid->itemAtPosition(row, column);
    if (!item || !item->widget())
        return "<none>";
    if (auto* label = qobject_cast<QLabel*>(item->widget()))
        return label->text();
    if (auto* button = qobject_cast<QPushButton*>(item->widget()))
        return button->text();
    return item->widget()->metaObject()->className();
}

// Rows of a converted file without its header.
QStringList rowsOf(const QByteArray& bytes, QByteArray* header = nullptr)
{
    const int end = bytes.indexOf('\n');
    if (header)
        *header = bytes.left(end + 1);
    QStringList rows;
    for (const QByteArray& line : bytes.mid(end + 1).split('\n'))
        if (!line.isEmpty())
            rows << QString::fromUtf8(line);
    return rows;
}

QListWidgetItem* itemOf(ParseWidget& dialog, const QString& field)
{
    const QList<QListWidgetItem*> items = dialog.fieldList->findItems(field, Qt::MatchExactly);
    return items.isEmpty() ? nullptr : items.first();
}

} // namespace

class ParseWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void layoutAndStart();
    void tsharkStatus_data();
    void tsharkStatus();
    void toolPaths_data();
    void toolPaths();
    void findTshark_data();
    void findTshark();
    void openProposesOutput_data();
    void openProposesOutput();
    void defaultsAddedForEveryCapture();
    void saveAs_data();
    void saveAs();
    void consoleLine();
    void checksNearTheLimit();
    void checkAll_data();
    void checkAll();
    void autoSelectPassesLimitByLastField();
    void convertsWithDisplayFilter();
    void conversionFailures_data();
    void conversionFailures();
    void overwrite_data();
    void overwrite();
    void cancelStopsConversion();
    void menuEntryOpensDialog();

private:
    std::unique_ptr<TempWorkDir> classDir;
    std::unique_ptr<TempWorkDir> dir;
    std::unique_ptr<DebugCapture> log;
    QString http;
    QString icmp;
    QString savedTshark;
};

void ParseWidgetTest::initTestCase()
{
    classDir = std::make_unique<TempWorkDir>();
    http = classDir->filePath("http.pcap");
    icmp = classDir->filePath("icmp.pcapng");
    QVERIFY(makeCapture("http.hex", http, "pcap"));
    QVERIFY(makeCapture("icmp-error.hex", icmp, "pcapng"));
    savedTshark = TSHARK_PATH;
}

void ParseWidgetTest::init()
{
    dir = std::make_unique<TempWorkDir>();
    log = std::make_unique<DebugCapture>();
    log->setForward(false);
    TSHARK_PATH = QStringLiteral("/usr/bin/tshark");
}

void ParseWidgetTest::cleanup()
{
    log.reset();
    dir.reset();
    TSHARK_PATH = savedTshark;
    SRC_ATTRIBUTE = QStringLiteral("ip.src");
}

void ParseWidgetTest::layoutAndStart()
{
    ParseWidget dialog(nullptr);
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    QVERIFY(grid);
    QCOMPARE(textAt(grid, 0, 0), QStringLiteral("WireShark (tshark.exe) Location:"));
    QCOMPARE(textAt(grid, 0, 2), QStringLiteral("Find"));
    QCOMPARE(textAt(grid, 1, 0), QStringLiteral("Input file:"));
    QCOMPARE(textAt(grid, 1, 2), QStringLiteral("Open"));
    QCOMPARE(textAt(grid, 2, 0), QStringLiteral("Output file:"));
    QCOMPARE(textAt(grid, 2, 2), QStringLiteral("Save as"));
    QCOMPARE(textAt(grid, 3, 0), QStringLiteral("Filter"));
    QCOMPARE(textAt(grid, 4, 0), QStringLiteral("Attributes:"));
    QCOMPARE(textAt(grid, 4, 1), QStringLiteral("Auto-Select"));
    QCOMPARE(grid->itemAtPosition(5, 3)->widget(), static_cast<QWidget*>(dialog.fieldList));
    QCOMPARE(grid->itemAtPosition(7, 0)->widget(), static_cast<QWidget*>(dialog.consoleCount));
    QCOMPARE(textAt(grid, 10, 0), QStringLiteral("Convert"));
    QCOMPARE(textAt(grid, 10, 1), QStringLiteral("Cancel"));
    QCOMPARE(dialog.fieldList->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(dialog.fieldList->menu()->actions().at(0)->text(), QStringLiteral("Select/Deselect all"));

    // The default tshark is found; nothing to convert yet.
    QCOMPARE(toStringList(dialog.selectedFields), START_SELECTION);
    QCOMPARE(dialog.tsharkLabel->text(), QStringLiteral("/usr/bin/tshark"));
    QCOMPARE(dialog.tsharkStatus->text(), QStringLiteral("Found!"));
    QCOMPARE(dialog.tsharkStatus->styleSheet(), QStringLiteral("color: green;"));
    QCOMPARE(dialog.consoleLimit, 8191);
    QCOMPARE(dialog.consoleCount->text(),
             QStringLiteral("Console characters used: %1/8191").arg(dialog.consoleLine.size()));
    QVERIFY(!dialog.convertButton->isEnabled());

    // A tshark path that is no tshark leaves the label empty.
    TSHARK_PATH = dir->write("wireshark", "x");
    ParseWidget other(nullptr);
    QCOMPARE(other.tsharkLabel->text(), QString());
    QCOMPARE(other.tsharkStatus->text(), QString());
    QCOMPARE(other.consoleCount->text(), QString());
}

void ParseWidgetTest::tsharkStatus_data()
{
    QTest::addColumn<QString>("path");  // "@name": a file made in the test folder
    QTest::addColumn<bool>("found");
    QTest::newRow("installed tshark") << "/usr/bin/tshark" << true;
    QTest::newRow("a file named like tshark") << "@my-tshark-copy" << true;
    QTest::newRow("missing") << "/nonexistent/tshark" << false;
    QTest::newRow("other program") << "/bin/sh" << false;
    QTest::newRow("case differs") << "@TShark" << false;
    QTest::newRow("folder") << "@tshark.d/" << false;
    QTest::newRow("empty") << "" << false;
}

void ParseWidgetTest::tsharkStatus()
{
    QFETCH(QString, path);
    QFETCH(bool, found);
    if (path.startsWith('@')) {
        const QString name = path.mid(1);
        if (name.endsWith('/'))
            QVERIFY(QDir(dir->path()).mkdir(name.chopped(1)));
        else
            dir->write(name, "x");
        path = dir->filePath(name);
    }
    QCOMPARE(ParseWidget::isTshark(path), found);
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText(path);
    dialog.showTsharkStatus();
    QCOMPARE(dialog.tsharkStatus->text(), found ? QStringLiteral("Found!") : QStringLiteral("Not Found!"));
    QCOMPARE(dialog.tsharkStatus->styleSheet(),
             found ? QStringLiteral("color: green;") : QStringLiteral("color: red;"));
}

void ParseWidgetTest::toolPaths_data()
{
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("capinfos");
    QTest::addColumn<QString>("tshark");
    QTest::newRow("windows") << "windows" << "C:/Program Files/Wireshark/tshark.exe"
                             << "C:/Program Files/Wireshark/capinfos.exe"
                             << "C:/Program Files/Wireshark/tshark.exe";
    QTest::newRow("windows, short label") << "windows" << "tshark" << "capinfos.exe" << "tshark";
    QTest::newRow("linux") << "linux" << "/opt/ws/tshark" << "capinfos" << "tshark";
    QTest::newRow("macos") << "macos" << "/opt/ws/tshark" << "capinfos" << "tshark";
    QTest::newRow("other system") << "plan9" << "/opt/ws/tshark" << "" << "";
}

void ParseWidgetTest::toolPaths()
{
    QFETCH(QString, os);
    QFETCH(QString, label);
    QFETCH(QString, capinfos);
    QFETCH(QString, tshark);
    ParseWidget dialog(nullptr);
    QCOMPARE(dialog.os, osName());
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
    QTest::newRow("linux") << "linux" << "/usr/bin/tshark" << "" << "Found!";
    QTest::newRow("windows filter") << "windows" << "/usr/bin/tshark" << "*.exe" << "Found!";
    QTest::newRow("not tshark, kept anyway") << "linux" << "/bin/sh" << "" << "Not Found!";
    QTest::newRow("cancelled") << "linux" << "" << "" << "";
}

void ParseWidgetTest::findTshark()
{
    QFETCH(QString, os);
    QFETCH(QString, answer);
    QFETCH(QString, filter);
    QFETCH(QString, status);
    TSHARK_PATH = QStringLiteral("/nonexistent/tshark");
    QFile::remove(SETTINGS_PATH);
    ParseWidget dialog(nullptr);
    dialog.os = os;
    dialog.inputLabel->setText("in.pcap");
    dialog.outputLabel->setText("out.csv");
    FileAnswers answers({answer});
    dialog.findButton->click();

    QCOMPARE(answers.requests.size(), 1);
    QCOMPARE(answers.requests.at(0).caption, QStringLiteral("Find tshark (WireShark)"));
    QCOMPARE(answers.requests.at(0).filter, filter);
    QCOMPARE(answers.requests.at(0).parent, static_cast<QWidget*>(&dialog));
    QCOMPARE(dialog.tsharkLabel->text(), answer);
    QCOMPARE(dialog.tsharkStatus->text(), status);
    QCOMPARE(dialog.convertButton->isEnabled(), !answer.isEmpty());
    if (answer.isEmpty()) {
        QVERIFY(log->contains("Open WireShark failed"));
        QCOMPARE(TSHARK_PATH, QStringLiteral("/nonexistent/tshark"));
        QVERIFY(!QFile::exists(SETTINGS_PATH));
    } else {
        QCOMPARE(TSHARK_PATH, answer);
        QCOMPARE(readAll(SETTINGS_PATH), (answer + '\n' + WIRESHARK_PATH).toUtf8());
        QVERIFY(dialog.consoleLine.startsWith(answer + " -r \"in.pcap\""));
    }
    QFile::remove(SETTINGS_PATH);
}

void ParseWidgetTest::openProposesOutput_data()
{
    QTest::addColumn<QString>("capture");  // in the test folder
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
    QString path;
    if (!capture.isEmpty()) {
        path = dir->filePath(capture);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(QFile::copy(http, path));
    }
    ParseWidget dialog(nullptr);
    dialog.os = "none";  // no discovery here: defaultsAddedForEveryCapture runs it
    FileAnswers answers({path});
    dialog.openButton->click();
    QCOMPARE(answers.requests.size(), 1);
    QCOMPARE(answers.requests.at(0).caption, QStringLiteral("Open PCAP"));
    QCOMPARE(answers.requests.at(0).filter, QStringLiteral("*.pcap"));
    QCOMPARE(dialog.inputLabel->text(), path);
    QCOMPARE(dialog.outputLabel->text(), output.isEmpty() ? QString() : dir->filePath(output));
    QCOMPARE(dialog.convertButton->isEnabled(), !capture.isEmpty());
    QCOMPARE(log->contains("Open file failed"), capture.isEmpty());
}

void ParseWidgetTest::defaultsAddedForEveryCapture()
{
    ParseWidget dialog(nullptr);
    FileAnswers answers({http, http});
    dialog.openButton->click();
    dialog.openButton->click();
    const QStringList defaults{"tcp.srcport", "tcp.dstport", "tcp.stream", "frame.len",
                               "frame.protocols"};
    QCOMPARE(toStringList(dialog.selectedFields), START_SELECTION + defaults + defaults);
    QVERIFY(dialog.allFields.contains("http.user_agent"));
    QCOMPARE(dialog.fieldList->count(), dialog.allFields.size());
    QCOMPARE(dialog.outputLabel->text(), classDir->filePath("http.csv"));
    QListWidgetItem* item = itemOf(dialog, "tcp.srcport");
    QVERIFY(item);
    QCOMPARE(item->checkState(), Qt::Checked);
    // Unchecking it takes the field out of the conversion altogether.
    item->setCheckState(Qt::Unchecked);
    QVERIFY(!dialog.selectedFields.contains("tcp.srcport"));
    QCOMPARE(dialog.selectedFields.size(), 3 + 2 * 4);
}

void ParseWidgetTest::saveAs_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("label");
    QTest::newRow("name without .csv") << "/data/out" << "/data/out.csv";
    QTest::newRow("name with .csv") << "/data/out.csv" << "/data/out.csv";
    QTest::newRow(".csv inside the name") << "/data/x.csv.txt" << "/data/x.csv.txt";
    QTest::newRow(".csv in a folder") << "/data.csv/out" << "/data.csv/out";
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
    QCOMPARE(answers.requests.size(), 1);
    QCOMPARE(answers.requests.at(0).kind, FileAsker::SaveFile);
    QCOMPARE(answers.requests.at(0).caption, QStringLiteral("Save CSV"));
    QCOMPARE(answers.requests.at(0).directory, QString());
    QCOMPARE(answers.requests.at(0).filter, QStringLiteral("*.csv"));
    QCOMPARE(dialog.outputLabel->text(), label);
    QCOMPARE(dialog.convertButton->isEnabled(), !label.isEmpty());
    QCOMPARE(log->contains("Save WireShark failed"), answer.isEmpty());
}

void ParseWidgetTest::consoleLine()
{
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->setText("/t/tshark");
    dialog.inputLabel->setText("/c/in put.pcap");
    const QString start = "/t/tshark -r \"/c/in put.pcap\" -T fields ";
    // Each field is measured against the start alone: one too long for it
    // is left out, its blank stays.
    const QString tooLong(8191 - start.size(), 'x');
    dialog.selectedFields = toTList({"a.b", tooLong, "c.d"});
    dialog.updateConsoleLine();
    QCOMPARE(dialog.consoleLine, start + "a.b  c.d -E occurrence=f");
    dialog.selectedFields = toTList({tooLong.chopped(1)});
    dialog.updateConsoleLine();
    QCOMPARE(dialog.consoleLine, start + tooLong.chopped(1) + " -E occurrence=f");
    dialog.selectedFields.clear();
    dialog.updateConsoleLine();
    dialog.updateCharCount();
    QCOMPARE(dialog.consoleLine, start + " -E occurrence=f");
    QCOMPARE(dialog.consoleCount->text(),
             QStringLiteral("Console characters used: %1/8191").arg(start.size() + 16));
}

void ParseWidgetTest::checksNearTheLimit()
{
    ParseWidget dialog(nullptr);
    dialog.tsharkLabel->clear();
    dialog.inputLabel->clear();
    // 17 characters around the fields and 16 after them: a line of 8180.
    const QString filler(8180 - 17 - 16 - 12, 'f');
    const QString selected = "abcdefghijk";  // 11 characters
    dialog.selectedFields = toTList({filler, selected});
    dialog.allFields = toTList({"abcdefghij", selected, "zyxwvutsrqp"});
    dialog.fillFieldList();
    QCOMPARE(dialog.consoleLine.size(), 8180);
    QCOMPARE(dialog.consoleCount->text(), QStringLiteral("Console characters used: 8180/8191"));

    // Items that do not fit beside the line are disabled.
    QListWidgetItem* ten = itemOf(dialog, "abcdefghij");
    QListWidgetItem* eleven = itemOf(dialog, "zyxwvutsrqp");
    QListWidgetItem* mine = itemOf(dialog, selected);
    QVERIFY(ten && eleven && mine);
    QVERIFY(ten->flags() & Qt::ItemIsEnabled);
    QCOMPARE(eleven->flags(), Qt::ItemIsUserCheckable);
    QCOMPARE(mine->checkState(), Qt::Checked);
    QCOMPARE(eleven->checkState(), Qt::Unchecked);

    // A check that would reach the limit is refused and shown as refused.
    QSignalSpy changes(dialog.fieldList, &QListWidget::itemChanged);
    eleven->setCheckState(Qt::Checked);
    QCOMPARE(eleven->checkState(), Qt::Unchecked);
    QCOMPARE(changes.count(), 1);
    QCOMPARE(toStringList(dialog.selectedFields), QStringList({filler, selected}));

    // An uncheck is always taken, however long the field.
    mine->setCheckState(Qt::Unchecked);
    QCOMPARE(toStringList(dialog.selectedFields), QStringList({filler}));
    QCOMPARE(dialog.consoleLine.size(), 8180 - 12);

    // A field that fits is taken: 8168 + 1 + 10 < 8191.
    ten->setCheckState(Qt::Checked);
    QCOMPARE(ten->checkState(), Qt::Checked);
    QCOMPARE(toStringList(dialog.selectedFields), QStringList({filler, "abcdefghij"}));
    QCOMPARE(dialog.consoleCount->text(), QStringLiteral("Console characters used: 8179/8191"));
}

void ParseWidgetTest::checkAll_data()
{
    QTest::addColumn<QList<int>>("checked");   // rows checked before
    QTest::addColumn<QList<int>>("selected");  // rows selected
    QTest::addColumn<QStringList>("fields");   // selectedFields afterwards
    QTest::newRow("none checked: all selected are checked")
        << QList<int>{} << QList<int>{0, 2} << QStringList{"a.a", "c.c"};
    QTest::newRow("one checked: all selected are unchecked")
        << QList<int>{1, 3} << QList<int>{0, 1, 2} << QStringList{"d.d"};
    QTest::newRow("nothing selected") << QList<int>{1} << QList<int>{} << QStringList{"b.b"};
}

void ParseWidgetTest::checkAll()
{
    QFETCH(QList<int>, checked);
    QFETCH(QList<int>, selected);
    QFETCH(QStringList, fields);
    ParseWidget dialog(nullptr);
    const QStringList names{"a.a", "b.b", "c.c", "d.d"};
    dialog.allFields = toTList(names);
    dialog.selectedFields.clear();
    for (int row : checked)
        dialog.selectedFields.append(names.at(row));
    dialog.fillFieldList();
    for (int row : selected)
        dialog.fieldList->item(row)->setSelected(true);
    dialog.fieldList->menu()->actions().at(0)->trigger();
    QCOMPARE(toStringList(dialog.selectedFields), fields);
    for (int row = 0; row < names.size(); ++row)
        QCOMPARE(dialog.fieldList->item(row)->checkState() == Qt::Checked,
                 fields.contains(names.at(row)));
}

void ParseWidgetTest::autoSelectPassesLimitByLastField()
{
    ParseWidget dialog(nullptr);
    TList<QString> all;
    for (int k = 0; k < 200; ++k)
        all.append(QStringLiteral("p%1.").arg(k, 3, 10, QLatin1Char('0')) + QString(96, 'x'));
    dialog.allFields = all;
    dialog.allFields.append("ip.src");  // already selected
    dialog.autoSelectButton->click();
    const int length = dialog.consoleLine.size();
    QVERIFY(length >= 8191);
    QVERIFY(length - 102 < 8191);  // below the limit before the last field and its blank
    QCOMPARE(dialog.selectedFields.mid(0, 3).toQList(), START_SELECTION);
    QVERIFY(dialog.selectedFields.at(3) == all.at(0));
    QCOMPARE(dialog.fieldList->count(), 201);
    QCOMPARE(itemOf(dialog, all.at(0))->checkState(), Qt::Checked);
    QCOMPARE(itemOf(dialog, all.at(199))->checkState(), Qt::Unchecked);
}

void ParseWidgetTest::convertsWithDisplayFilter()
{
    ParseWidget dialog(nullptr);
    FileAnswers answers({icmp});
    dialog.openButton->click();
    const QString output = dir->filePath("icmp.csv");
    dialog.outputLabel->setText(output);
    dialog.filterEdit->setText("icmp");
    dialog.selectedFields = toTList({"frame.number", "ip.src", "icmp.type", "udp.dstport"});
    dialog.fillFieldList();
    Boxes boxes;
    dialog.convertButton->click();

    QCOMPARE(boxes.texts(), QStringList{"Conversion successful"});
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("Conversion PCAP CSV"));
    QCOMPARE(boxes.requests.at(0).icon, QMessageBox::Warning);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.stream);
    QByteArray header;
    const QStringList rows = rowsOf(readAll(output), &header);
    QCOMPARE(header, QByteArray("frame.number,ip.src,icmp.type,udp.dstport\n"));
    const QStringList expected =
        QString::fromUtf8(run("tshark", {"-r", icmp, "-Y", "icmp", "-T", "fields", "-e", "frame.number"}))
            .split('\n', Qt::SkipEmptyParts);
    QCOMPARE(expected.size(), 3);
    QCOMPARE(rows.size(), expected.size());
    QCOMPARE(rows.at(0), QStringLiteral("2,127.0.0.1,3,9\r"));
    QVERIFY(log->contains("Yes was clicked"));
}

void ParseWidgetTest::conversionFailures_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("offPath");
    QTest::addColumn<QString>("reason");  // part of the failure text
    QTest::newRow("invalid field") << "no.such.field" << false << "no.such.field";
    QTest::newRow("tshark off the search path") << "frame.number" << true << "";
}

void ParseWidgetTest::conversionFailures()
{
    QFETCH(QString, field);
    QFETCH(bool, offPath);
    QFETCH(QString, reason);
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(http);
    dialog.outputLabel->setText(dir->filePath("out.csv"));
    dialog.selectedFields = toTList({"frame.number", field});
    dialog.updateConvertButton();
    QVERIFY(dialog.convertButton->isEnabled());
    Boxes boxes;
    {
        TempWorkDir empty;
        std::unique_ptr<SearchPath> path;
        if (offPath)
            path = std::make_unique<SearchPath>(empty.path(), true);
        dialog.convertButton->click();
    }
    const MessageAsker::Request last = boxes.requests.last();
    QCOMPARE(last.title, QStringLiteral("Conversion PCAP CSV"));
    QVERIFY2(last.text.startsWith("Conversion failed:\n"), qPrintable(last.text));
    QVERIFY2(last.text.contains(reason), qPrintable(last.text));
    QVERIFY(last.text.size() > QStringLiteral("Conversion failed:\n").size());
    QVERIFY(!boxes.texts().contains("Conversion successful"));
    QVERIFY(dialog.result() != QDialog::Accepted);
    QVERIFY(!dialog.stream);
    QVERIFY(!dialog.progressDialog);
}

void ParseWidgetTest::overwrite_data()
{
    QTest::addColumn<QString>("output");  // "input": the capture itself
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("converted");
    QTest::newRow("No keeps the file") << "old.csv" << int(QMessageBox::No) << false;
    QTest::newRow("Yes replaces it") << "old.csv" << int(QMessageBox::Yes) << true;
    QTest::newRow("output is the capture") << "input" << int(QMessageBox::Yes) << false;
}

void ParseWidgetTest::overwrite()
{
    QFETCH(QString, output);
    QFETCH(int, answer);
    QFETCH(bool, converted);
    const QString capture = dir->filePath("cap.csv");  // a capture named like a log
    QVERIFY(QFile::copy(http, capture));
    const QString path = output == "input" ? capture : dir->write(output, "the old file");
    const QByteArray before = readAll(path);
    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(capture);
    dialog.outputLabel->setText(path);
    dialog.selectedFields = toTList({"frame.number"});
    Boxes boxes{QMessageBox::StandardButton(answer)};
    dialog.parseData();
    if (output == "input") {
        QCOMPARE(boxes.requests.size(), 1);
        QCOMPARE(boxes.requests.at(0).icon, QMessageBox::Warning);
    } else {
        QCOMPARE(boxes.requests.at(0).title, QStringLiteral("File exists"));
        QCOMPARE(boxes.requests.at(0).text,
                 QStringLiteral("The output file already exists. Do you wish to overwrite?"));
        QCOMPARE(boxes.requests.at(0).buttons, QMessageBox::Yes | QMessageBox::No);
    }
    QCOMPARE(log->contains("Overwrite not allowed"), answer == QMessageBox::No);
    if (converted) {
        QCOMPARE(boxes.texts().last(), QStringLiteral("Conversion successful"));
        QCOMPARE(rowsOf(readAll(path)).size(), 36);
    } else {
        QCOMPARE(readAll(path), before);
        QVERIFY(!log->contains("Yes was clicked"));
    }
}

void ParseWidgetTest::cancelStopsConversion()
{
    // tshark reads a pipe that delivers some packets and then stays open:
    // the conversion runs until it is cancelled. capinfos, which would wait
    // for the pipe's end, is a stand-in.
    const QString fifo = dir->filePath("live.pcap");
    QVERIFY(QProcess::execute("mkfifo", {fifo}) == 0);
    TempWorkDir tools;
    writeScript(tools, "capinfos", "printf 'File name: x\\nNumber of packets:   1000\\n'");
    SearchPath path(tools.path());
    QProcess feeder;
    feeder.start("sh", {"-c", "exec > \"$1\"; head -c 3000 \"$0\"; exec sleep 60", http, fifo});
    QVERIFY(feeder.waitForStarted());

    ParseWidget dialog(nullptr);
    dialog.inputLabel->setText(fifo);
    const QString output = dir->filePath("live.csv");
    dialog.outputLabel->setText(output);
    dialog.selectedFields = toTList({"frame.number", "ip.src"});

    QString shownLabel;
    bool shownProgress = false;
    bool sameStream = false;
    bool fileThere = false;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &dialog, [&]() {
        if (!dialog.stream || !dialog.progressDialog)
            return;
        if (dialog.stream->rowsWritten == 0 && waited.elapsed() < 15000)
            return;
        poll.stop();
        shownLabel = dialog.progressDialog->labelText();
        shownProgress = dialog.progressDialog->isVisible();
        // A second Convert while one runs is ignored.
        WiresharkTerminalStream* running = dialog.stream;
        dialog.parseData();
        sameStream = dialog.stream == running;
        fileThere = QFile::exists(output);
        // The user's Cancel.
        if (auto* cancel = dialog.progressDialog->findChild<QPushButton*>())
            cancel->click();
    });
    poll.start();
    Boxes boxes;
    QElapsedTimer clock;
    clock.start();
    dialog.parseData();

    QVERIFY(clock.elapsed() < 20000);
    QCOMPARE(shownLabel, QStringLiteral("Converting data... : Parsed 1/1000 Packets"));
    QVERIFY(shownProgress);
    QVERIFY(sameStream);
    QVERIFY(fileThere);
    QVERIFY(!QFile::exists(output));
    QVERIFY(log->contains("kill"));
    QCOMPARE(boxes.texts(), QStringList{"Conversion aborted."});
    QCOMPARE(boxes.requests.at(0).title, QStringLiteral("Conversion PCAP CSV"));
    QVERIFY(dialog.result() != QDialog::Accepted);
    QVERIFY(!dialog.stream);
    feeder.kill();
    feeder.waitForFinished();
}

void ParseWidgetTest::menuEntryOpensDialog()
{
    ControlWidget control(nullptr);
    QString shown;
    QTimer::singleShot(0, [&]() {
        auto* dialog = qobject_cast<ParseWidget*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        shown = dialog->tsharkLabel->text();
        QVERIFY(!dialog->parentWidget());
        dialog->reject();
    });
    control.convertPCAP();
    QCOMPARE(shown, QStringLiteral("/usr/bin/tshark"));
}

LUMIVANE_TEST(ParseWidgetTest)
#include "ParseWidgetTest.moc"
