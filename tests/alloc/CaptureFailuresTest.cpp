#include "FailingNew.h"
#include "Sweep.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/FileAsker.h"
#include "app/MessageAsker.h"
#include "capture/MultiListWidget.h"
#include "capture/ParseWidget.h"
#include "capture/WiresharkTerminalStream.h"
#include "core/Constants.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

// Every allocation of a capture's conversion and of its field discovery
// fails in turn, with stand-ins for tshark and capinfos that print a fixed
// output in pieces with pauses between. First the handlers that run in the
// conversion's loop (tshark's output, its error output, its end): their
// allocations are counted only while one of them runs, and Qt's core
// library is not spared there, so that what they call fails too. Then the
// whole of Convert and of Open in the dialog, entered by its buttons, with
// Qt's libraries spared. Nothing gets out, and nothing reaches the
// application's last resort. A conversion either puts in place exactly the
// rows of one that never failed, or fails as one that ran out of memory, the
// older output byte for byte as it was and no file beside it; a discovery
// either takes what one that never failed takes, or ends as one that ran out
// of memory, the dialog as it was. One message tells; done again, each
// gives what it gives without a failure.

namespace {

const QByteArray OLDER = "older,file\r\n";
const QString OUT_OF_MEMORY_TITLE = QStringLiteral("Out of memory");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& bytes, bool executable = false)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The stand-in tools, the captures they pretend to read and the output
// folder, made once.
struct Tools
{
    QTemporaryDir temp;
    QString folder = temp.filePath(QStringLiteral("tools"));
    QString tshark = folder + QStringLiteral("/tshark");
    QString first = temp.filePath(QStringLiteral("first.pcap"));
    QString second = temp.filePath(QStringLiteral("second.pcap"));
    QString outFolder = temp.filePath(QStringLiteral("out"));
    QString output = outFolder + QStringLiteral("/out.csv");

    Tools()
    {
        QDir().mkpath(folder);
        QDir().mkpath(outFolder);
        writeFile(first, "not read");
        writeFile(second, "not read");
        // Three batches of records: a record over two lines, values with a
        // stray quote (logged), and a warning on the error channel.
        writeFile(folder + QStringLiteral("/rows1.txt"),
                  "\"1\"~\"10.0.0.1\"\n\"2\"~\"10.0.0.2\"\n\"3\"~\"10.0.\n0.3\"\n\"4\"~\"10.0.0.4\"\n");
        writeFile(folder + QStringLiteral("/rows2.txt"),
                  "\"5\"~\"10.0.0.5\"\n\"6\"~\"a\"b\"\n\"7\"~\"x,y\"\n\"8\"~\"c\"d\"\n");
        writeFile(folder + QStringLiteral("/rows3.txt"),
                  "\"9\"~\"10.0.0.9\"\n\"10\"~\n\"11\"~\"10.0.0.11\"\n\"12\"~\"10.0.0.12\"\n");
        // The first capture's PDML whole; the second's in two pieces, the
        // first ending within a packet. Only Ethernet addresses in the
        // second: taking it over switches the source attribute.
        writeFile(folder + QStringLiteral("/a.pdml"), readAll(testDataPath(QStringLiteral("capture/pdml/two-ip-layers.pdml"))));
        const QByteArray b = readAll(testDataPath(QStringLiteral("capture/pdml/field-names.pdml")));
        writeFile(folder + QStringLiteral("/b1.pdml"), b.left(b.size() / 2));
        writeFile(folder + QStringLiteral("/b2.pdml"), b.mid(b.size() / 2));
        writeFile(tshark,
                  "#!/bin/sh\n"
                  "cd \"$(dirname \"$0\")\"\n"
                  "case \"$*\" in\n"
                  "*pdml*) case \"$*\" in *second*) cat b1.pdml; sleep 0.005; cat b2.pdml;; *) cat a.pdml;; esac;;\n"
                  "*) echo 'tshark: a warning' >&2; cat rows1.txt; sleep 0.005; cat rows2.txt; sleep 0.005; "
                  "cat rows3.txt;;\n"
                  "esac\n",
                  true);
        writeFile(folder + QStringLiteral("/capinfos"),
                  "#!/bin/sh\nprintf 'File name: x\\nNumber of packets:   12\\n'\n", true);
    }

    void olderOutput() const
    {
        writeFile(output, OLDER);
    }
};

TList<QString> twoFields()
{
    return TList<QString>{QStringLiteral("frame.number"), QStringLiteral("ip.src")};
}

// The boxes shown, kept without allocating while a failure is armed.
struct Boxes
{
    std::vector<MessageAsker::Request> shown;
    std::function<void(const MessageAsker::Request&)> onAsk;
    MessageAsker::Handler previous;

    Boxes()
    {
        shown.reserve(16);
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            if (shown.size() < shown.capacity())
                shown.push_back(r);
            if (onAsk)
                onAsk(r);
            return r.icon == QMessageBox::Question ? QMessageBox::Yes : QMessageBox::Ok;
        });
    }
    ~Boxes() { MessageAsker::setHandler(previous); }
};

// The dialog as the user sees it, and the source attribute.
QStringList dialogText(const ParseWidget& dialog)
{
    QStringList out{dialog.inputLabel->text(), dialog.outputLabel->text(), dialog.consoleCount->text(),
                    QStringLiteral("source ") + SRC_ATTRIBUTE,
                    QStringLiteral("all ") + dialog.allFields.toQList().join(' '),
                    QStringLiteral("selected ") + dialog.selectedFields.toQList().join(' '),
                    QStringLiteral("convert %1").arg(dialog.convertButton->isEnabled())};
    for (int row = 0; row < dialog.fieldList->count(); ++row) {
        const QListWidgetItem* item = dialog.fieldList->item(row);
        out << QStringLiteral("%1 %2 %3").arg(item->text()).arg(int(item->checkState())).arg(int(item->flags()));
    }
    return out;
}

} // namespace

class CaptureFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void handlers_data();
    void handlers();
    void throughTheDialog_data();
    void throughTheDialog();

private:
    // Runs the conversion stream with the n-th allocation that its
    // handlers make failing (none for n = 0); returns whether it was
    // reached.
    bool convertOnce(long n, int expected, bool& ok, bool& ranOut);

    std::unique_ptr<Tools> tools;
    const QString savedTshark = TSHARK_PATH;
};

void CaptureFailuresTest::initTestCase()
{
    tools = std::make_unique<Tools>();
    // Only the widgets' libraries are spared here: the handlers' sweep has
    // none, and counts only what the handlers allocate; Qt's core library
    // is spared where the dialog's sweep begins.
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Test", "qt5/plugins/platforms"})
        QVERIFY2(failingnew::spareCallersIn(library), library);
}

void CaptureFailuresTest::cleanup()
{
    SRC_ATTRIBUTE = QStringLiteral("ip.src");
    TSHARK_PATH = savedTshark;
}

void CaptureFailuresTest::handlers_data()
{
    QTest::addColumn<int>("expected");  // the packets capinfos counted
    QTest::newRow("rows as counted") << 12;
    // Each row past the count is logged, which allocates half way
    // through a batch.
    QTest::newRow("more rows than counted") << 4;
}

bool CaptureFailuresTest::convertOnce(long n, int expected, bool& ok, bool& ranOut)
{
    bool escaped = false;
    // Allocations are counted while a handler of the stream runs: a slot
    // connected before the stream's arms what is left of n, one connected
    // after them (once tshark has started) takes off what the handler
    // counted.
    long left = n;
    bool hit = false;
    const auto open = [&left, &hit]() {
        if (left > 0 && !hit)
            failingnew::failAt(left);
    };
    const auto close = [&left, &hit]() {
        if (left <= 0 || hit)
            return;
        const long counted = failingnew::counted();
        hit = failingnew::disarm();
        left -= counted;
    };
    {
        WiresharkTerminalStream stream(tools->output, twoFields());
        stream.expectedPackets = expected;
        QProcess* process = stream.process;
        connect(process, &QProcess::readyReadStandardOutput, process, open);
        connect(process, &QProcess::readyReadStandardError, process, open);
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process, open);
        connect(process, &QProcess::started, process, [&]() {
            connect(process, &QProcess::readyReadStandardOutput, process, close);
            connect(process, &QProcess::readyReadStandardError, process, close);
            connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process, close);
        });
        try {
            ok = stream.start(tools->first, tools->tshark, QString(), -1);
        } catch (...) {
            escaped = true;
        }
        if (failingnew::disarm())
            hit = true;
        ranOut = stream.ranOutOfMemory;
        if (ranOut && stream.errorText != WiresharkTerminalStream::outOfMemoryText())
            escaped = true;
    }
    if (escaped)
        QTest::qFail("an exception left the conversion, or its error text names no memory", __FILE__, __LINE__);
    return hit;
}

void CaptureFailuresTest::handlers()
{
    QFETCH(int, expected);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    // The stream tells nothing itself: its caller does.
    Boxes boxes;
    tools->olderOutput();
    bool ok = false;
    bool ranOut = false;
    convertOnce(0, expected, ok, ranOut);
    QVERIFY(ok && !ranOut);
    const QByteArray once = readAll(tools->output);
    QCOMPARE(once, QByteArray("frame.number,ip.src\n1,10.0.0.1\r\n2,10.0.0.2\r\n3,\r\n4,10.0.0.4\r\n"
                              "5,10.0.0.5\r\n6,ab\r\n7,x;y\r\n8,cd\r\n9,10.0.0.9\r\n10,\r\n11,10.0.0.11\r\n"
                              "12,10.0.0.12\r\n"));
    long stopped = 0;
    // Every point: a few dozen, the runs short.
    const long points = sweep::run(name, [&](long n) {
        tools->olderOutput();
        const QStringList before = entries(tools->outFolder);
        bool ok = false;
        bool ranOut = false;
        const bool hit = convertOnce(n, expected, ok, ranOut);
        const QString where = QStringLiteral("%1: failure point %2").arg(name).arg(n);
        if (QTest::currentTestFailed())
            return false;
        QCoreApplication::processEvents();
        if (!boxes.shown.empty()) {
            QTest::qFail(qPrintable(where + QStringLiteral(": told ") + boxes.shown.front().text), __FILE__,
                         __LINE__);
            return false;
        }
        if (ok) {
            // Every row once, none twice.
            if (readAll(tools->output) != once) {
                QTest::qFail(qPrintable(where + QStringLiteral(": put in place ") + readAll(tools->output)), __FILE__,
                             __LINE__);
                return false;
            }
            return hit;
        }
        ++stopped;
        if (!ranOut || readAll(tools->output) != OLDER || entries(tools->outFolder) != before) {
            QTest::qFail(qPrintable(where + QStringLiteral(": failed, leaving ") + entries(tools->outFolder).join(' ')
                                    + QStringLiteral(": ") + readAll(tools->output)),
                         __FILE__, __LINE__);
            return false;
        }
        convertOnce(0, expected, ok, ranOut);
        if (!ok || readAll(tools->output) != once) {
            QTest::qFail(qPrintable(where + QStringLiteral(": done again, ") + readAll(tools->output)), __FILE__,
                         __LINE__);
            return false;
        }
        return hit;
    }, 0);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << name << points << "failure points," << stopped << "of them stopped for memory";
    QVERIFY(points > 0);
    QVERIFY(stopped > 0);
}

void CaptureFailuresTest::throughTheDialog_data()
{
    QTest::addColumn<bool>("conversion");  // else a field discovery
    QTest::newRow("conversion") << true;
    QTest::newRow("field discovery") << false;
}

void CaptureFailuresTest::throughTheDialog()
{
    QFETCH(bool, conversion);
    // Qt's own allocations are spared from here on: a widget or a process
    // of Qt's does not recover from one that fails (see LoadFailuresTest).
    static const bool spared = failingnew::spareCallersIn("libQt5Core");
    QVERIFY(spared);
    const QString name = QStringLiteral("dialog ") + QString::fromLatin1(QTest::currentDataTag());
    TSHARK_PATH = tools->tshark;  // the capinfos beside it runs
    ParseWidget dialog(nullptr);
    Boxes boxes;
    long armAt = 0;
    // The failure is armed once the user has answered: the overwrite
    // question for Convert, the file dialog for Open.
    boxes.onAsk = [&](const MessageAsker::Request& r) {
        if (armAt > 0 && r.icon == QMessageBox::Question)
            failingnew::failAt(armAt);
    };
    QString nextCapture;
    const FileAsker::Handler previousFiles = FileAsker::setHandler([&](const FileAsker::Request&) {
        if (armAt > 0)
            failingnew::failAt(armAt);
        return nextCapture;
    });
    struct RestoreFiles
    {
        FileAsker::Handler previous;
        ~RestoreFiles() { FileAsker::setHandler(previous); }
    } restoreFiles{previousFiles};

    // Open: the first capture, as the dialog stands before each attempt.
    const auto openFirst = [&]() {
        SRC_ATTRIBUTE = QStringLiteral("ip.src");
        armAt = 0;
        nextCapture = tools->first;
        dialog.openButton->click();
        dialog.outputLabel->setText(tools->output);
        dialog.selectedFields = twoFields();
        dialog.fillFieldList();
    };
    // The action with its n-th allocation failing (none for n = 0): true
    // when nothing escaped it.
    const auto act = [&](long n) {
        armAt = n;
        boxes.shown.clear();
        bool escaped = false;
        try {
            if (conversion) {
                dialog.convertButton->click();
            } else {
                nextCapture = tools->second;
                dialog.openButton->click();
            }
        } catch (...) {
            escaped = true;
        }
        armAt = 0;
        QCoreApplication::processEvents();   // a box told later
        return !escaped;
    };
    // What told the outcome, the overwrite question left out.
    const auto told = [&]() {
        QStringList texts;
        for (const MessageAsker::Request& r : boxes.shown)
            if (r.icon != QMessageBox::Question)
                texts << (r.title == OUT_OF_MEMORY_TITLE ? OUT_OF_MEMORY_TITLE : r.text);
        return texts;
    };

    openFirst();
    tools->olderOutput();
    const QStringList start = dialogText(dialog);
    QVERIFY(act(0));
    const QStringList toldOnce = told();
    const QStringList shownOnce = dialogText(dialog);
    const QByteArray once = readAll(tools->output);
    if (conversion) {
        QCOMPARE(toldOnce, QStringList{"Conversion successful"});
        QVERIFY(once.startsWith("frame.number,ip.src\n") && once.count('\n') == 13);
    } else {
        QVERIFY(toldOnce.isEmpty());
        QVERIFY(shownOnce != start);
        QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("eth.src"));
    }
    const QString memory = conversion ? QStringLiteral("Conversion failed:\nThe conversion ran out of memory and "
                                                       "was stopped; the output file was left as it was.")
                                      : QStringLiteral("Reading the fields of the capture ran out of memory and "
                                                       "was stopped; the dialog was left as it was.");

    long stopped = 0;
    const long points = sweep::run(name, [&](long n) {
        openFirst();
        tools->olderOutput();
        const QStringList before = entries(tools->outFolder);
        const QString where = QStringLiteral("%1: failure point %2: ").arg(name).arg(n);
        if (!act(n)) {
            failingnew::disarm();
            QTest::qFail(qPrintable(where + QStringLiteral("an exception left the dialog")), __FILE__, __LINE__);
            return false;
        }
        const bool hit = failingnew::disarm();
        const QStringList texts = told();
        if (texts == toldOnce && readAll(tools->output) == (conversion ? once : OLDER)
            && dialogText(dialog) == shownOnce && !dialog.stream && !dialog.discovery)
            return hit;
        // Stopped: one box, and everything as before the action.
        ++stopped;
        if (texts.size() != 1 || (texts.first() != memory && texts.first() != OUT_OF_MEMORY_TITLE)) {
            QTest::qFail(qPrintable(where + QStringLiteral("told ") + texts.join('|')), __FILE__, __LINE__);
            return false;
        }
        if (readAll(tools->output) != OLDER || entries(tools->outFolder) != before) {
            QTest::qFail(qPrintable(where + QStringLiteral("left ") + entries(tools->outFolder).join(' ')
                                    + QStringLiteral(": ") + readAll(tools->output)),
                         __FILE__, __LINE__);
            return false;
        }
        const QStringList shown = dialogText(dialog);
        if (shown != start || dialog.stream || dialog.discovery || dialog.discoveryProgress || dialog.progressDialog) {
            QTest::qFail(qPrintable(where + QStringLiteral("the dialog shows ") + shown.join('|')), __FILE__,
                         __LINE__);
            return false;
        }
        // Done again.
        act(0);
        if (told() != toldOnce || readAll(tools->output) != once || dialogText(dialog) != shownOnce) {
            QTest::qFail(qPrintable(where + QStringLiteral("done again, told ") + told().join('|')), __FILE__,
                         __LINE__);
            return false;
        }
        return hit;
    });
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << name << points << "failure points," << stopped << "of them stopped";
    QVERIFY(points > 0);
    QVERIFY(stopped > 0);
}

LUMIVANE_TEST(CaptureFailuresTest)
#include "CaptureFailuresTest.moc"
