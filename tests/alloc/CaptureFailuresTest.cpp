#include "ActionSweep.h"
#include "FailingNew.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/FileAsker.h"
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

// The output folder's entries and the output's bytes, with what the scene
// adds.
QStringList outputState(const Tools& tools, QStringList more = {})
{
    return more << entries(tools.outFolder).join(QLatin1Char(' ')) << QString::fromLatin1(readAll(tools.output));
}

// The conversion stream of the first capture over an older output, its
// failure told to its caller (it shows no box itself), with the n-th
// allocation that its handlers make failing.
struct StreamScene : actionsweep::Scene
{
    StreamScene(const Tools& tools, int expected) : tools(tools), expected(expected)
    {
        points = 0;   // every point: a few dozen, the runs short
        againAfterRunThrough = false;
    }
    void prepare() override { tools.olderOutput(); }
    void act() override { actFailing(0); }
    QStringList state() const override { return outputState(tools); }
    QList<actionsweep::Box> told(const QList<actionsweep::Box>& boxes) const override
    {
        QList<actionsweep::Box> out = boxes;
        if (!ok || ranOut)
            out.append({QMessageBox::NoIcon, ranOut ? QStringLiteral("ran out") : QStringLiteral("failed"), error});
        return out;
    }
    QString stopped(const actionsweep::Stop& stop) const override
    {
        if (stop.told.title != QLatin1String("ran out")
            || stop.told.text != WiresharkTerminalStream::outOfMemoryText())
            return QStringLiteral("not out of memory");
        return stop.shown == stop.before ? QString() : QStringLiteral("leaves ") + stop.shown.join(QLatin1Char('|'));
    }

    // Allocations are counted while a handler of the stream runs: a slot
    // connected before the stream's arms what is left of n, one connected
    // after them (once tshark has started) takes off what the handler
    // counted.
    bool actFailing(long n) override
    {
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
        WiresharkTerminalStream stream(tools.output, twoFields());
        stream.expectedPackets = expected;
        QProcess* process = stream.process;
        const auto watch = [process](const std::function<void()>& slot) {
            QObject::connect(process, &QProcess::readyReadStandardOutput, process, slot);
            QObject::connect(process, &QProcess::readyReadStandardError, process, slot);
            QObject::connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process, slot);
        };
        watch(open);
        QObject::connect(process, &QProcess::started, process, [&]() { watch(close); });
        ok = stream.start(tools.first, tools.tshark, QString(), -1);
        ranOut = stream.ranOutOfMemory;
        error = stream.errorText;
        return failingnew::disarm() || hit;
    }

    const Tools& tools;
    const int expected;
    bool ok = false;
    bool ranOut = false;
    QString error;
};

// The dialog with the first capture open, the older output chosen, and
// its Convert (answered Yes to the overwrite question) or its Open of the
// second capture. The failure is armed once the user has answered: the
// overwrite question for Convert, the file dialog for Open. Qt's own
// allocations are spared: a widget or a process of Qt's does not recover
// from one that fails (see LoadFailuresTest).
struct DialogScene : actionsweep::Scene
{
    DialogScene(const Tools& tools, bool conversion) : tools(tools), conversion(conversion)
    {
        againAfterRunThrough = false;
        previousFiles = FileAsker::setHandler([this](const FileAsker::Request&) {
            arm();
            return nextCapture;
        });
    }
    ~DialogScene() override { FileAsker::setHandler(previousFiles); }

    void prepare() override
    {
        SRC_ATTRIBUTE = QStringLiteral("ip.src");
        nextCapture = this->tools.first;
        dialog.openButton->click();
        dialog.outputLabel->setText(tools.output);
        dialog.selectedFields = twoFields();
        dialog.fillFieldList();
        tools.olderOutput();
    }
    void act() override
    {
        if (conversion) {
            dialog.convertButton->click();
        } else {
            nextCapture = tools.second;
            dialog.openButton->click();
        }
        armAt = 0;
        QCoreApplication::processEvents();   // a box told later
    }
    bool actFailing(long n) override
    {
        armAt = n;
        act();
        return failingnew::disarm();
    }
    QMessageBox::StandardButton answer(const actionsweep::Box& box) override
    {
        if (box.icon != QMessageBox::Question)
            return QMessageBox::Ok;
        arm();
        return QMessageBox::Yes;
    }
    // What told the outcome, the overwrite question left out.
    QList<actionsweep::Box> told(const QList<actionsweep::Box>& boxes) const override
    {
        QList<actionsweep::Box> out;
        for (const actionsweep::Box& box : boxes) {
            if (box.icon != QMessageBox::Question)
                out << box;
        }
        return out;
    }
    // The dialog as the user sees it, what runs, the source attribute and
    // the output.
    QStringList state() const override
    {
        QStringList out{dialog.inputLabel->text(), dialog.outputLabel->text(), dialog.consoleCount->text(),
                        QStringLiteral("source ") + SRC_ATTRIBUTE,
                        QStringLiteral("all ") + dialog.allFields.toQList().join(' '),
                        QStringLiteral("selected ") + dialog.selectedFields.toQList().join(' '),
                        QStringLiteral("convert %1").arg(dialog.convertButton->isEnabled()),
                        actionsweep::line("running", dialog.stream != nullptr, dialog.discovery != nullptr,
                                          dialog.discoveryProgress != nullptr, dialog.progressDialog != nullptr)};
        for (int row = 0; row < dialog.fieldList->count(); ++row) {
            const QListWidgetItem* item = dialog.fieldList->item(row);
            out << actionsweep::line(item->text(), int(item->checkState()), int(item->flags()));
        }
        return outputState(tools, out);
    }
    // Stopped: one box, and everything as before the action.
    QString stopped(const actionsweep::Stop& stop) const override
    {
        const QString memory = conversion ? QStringLiteral("Conversion failed:\nThe conversion ran out of memory and "
                                                           "was stopped; the output file was left as it was.")
                                          : QStringLiteral("Reading the fields of the capture ran out of memory and "
                                                           "was stopped; the dialog was left as it was.");
        if (stop.told.text != memory && stop.told.title != QLatin1String("Out of memory"))
            return QStringLiteral("not out of memory");
        return stop.shown == stop.before ? QString() : actionsweep::difference(stop.shown, stop.before);
    }

    void arm()
    {
        if (armAt > 0)
            failingnew::failAt(armAt);
    }

    const Tools& tools;
    const bool conversion;
    ParseWidget dialog{nullptr};
    FileAsker::Handler previousFiles;
    QString nextCapture;
    long armAt = 0;
};

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
    std::unique_ptr<Tools> tools;
    const QString savedTshark = TSHARK_PATH;
};

void CaptureFailuresTest::initTestCase()
{
    tools = std::make_unique<Tools>();
    // Only the widgets' libraries are spared here: the handlers' sweep has
    // none, and counts only what the handlers allocate; Qt's core library
    // is spared where the dialog's sweep begins.
    sweep::spareQt(false);
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

// A conversion either puts in place exactly the rows of one that never
// failed, every row once and none twice, or fails as one that ran out of
// memory, the older output byte for byte as it was and no file beside it.
void CaptureFailuresTest::handlers()
{
    QFETCH(int, expected);
    StreamScene scene(*tools, expected);
    const actionsweep::Result result = actionsweep::run(QString::fromLatin1(QTest::currentDataTag()), scene);
    QVERIFY2(result.told.isEmpty(), qPrintable(result.told.join(QLatin1Char('/'))));
    QCOMPARE(result.once.last(), QStringLiteral("frame.number,ip.src\n1,10.0.0.1\r\n2,10.0.0.2\r\n3,\r\n4,10.0.0.4\r\n"
                                                "5,10.0.0.5\r\n6,ab\r\n7,x;y\r\n8,cd\r\n9,10.0.0.9\r\n10,\r\n"
                                                "11,10.0.0.11\r\n12,10.0.0.12\r\n"));
}

void CaptureFailuresTest::throughTheDialog_data()
{
    QTest::addColumn<bool>("conversion");  // else a field discovery
    QTest::newRow("conversion") << true;
    QTest::newRow("field discovery") << false;
}

// A discovery either takes what one that never failed takes, or ends as
// one that ran out of memory, the dialog as it was.
void CaptureFailuresTest::throughTheDialog()
{
    QFETCH(bool, conversion);
    static const bool spared = failingnew::spareCallersIn("libQt5Core");
    QVERIFY(spared);
    TSHARK_PATH = tools->tshark;  // the capinfos beside it runs
    DialogScene scene(*tools, conversion);
    const actionsweep::Result r =
        actionsweep::run(QStringLiteral("dialog ") + QString::fromLatin1(QTest::currentDataTag()), scene);
    for (const QStringList& state : {r.before, r.once})
        QVERIFY2(state.contains(QStringLiteral("running false false false false")),
                 qPrintable(state.join(QLatin1Char('|'))));
    if (conversion) {
        QCOMPARE(r.told, QStringList{"Conversion PCAP CSV: Conversion successful"});
        QVERIFY(r.once.last().startsWith("frame.number,ip.src\n") && r.once.last().count('\n') == 13);
    } else {
        QVERIFY(r.told.isEmpty());
        QCOMPARE(SRC_ATTRIBUTE, QStringLiteral("eth.src"));
    }
}

LUMIVANE_TEST(CaptureFailuresTest)
#include "CaptureFailuresTest.moc"
