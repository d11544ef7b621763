#include "DebugCapture.h"
#include "FileAnswers.h"
#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/SettingsWidget.h"
#include "editors/RuleListWidget.h"
#include "import/ConversationSplitter.h"
#include "import/OpenWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString fixture(const QString& name)
{
    return testDataPath(QStringLiteral("import/preprocess/") + name);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

} // namespace

// File > "PreProcess CSV": its dialogs, the run and what the user is told.
class PreprocessActionTest : public QObject
{
    Q_OBJECT

private slots:
    void action_data();
    void action();
    void viewsTakeTheRules();
};

void PreprocessActionTest::action_data()
{
    QTest::addColumn<QString>("rewrite");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("output");   // relative to the temporary directory
    QTest::addColumn<int>("dialogs");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("warning");   // title / the start of the text

    const QByteArray header = "frame.number,sip.Call-ID,info,sip.Method\n";
    const QByteArray callA = "1,call-a,\"ring, ring\",INVITE\n3,call-a,ok,200\n6,call-a,na\xc3\xafve,BYE";
    const QString failed = "Failed to preprocess / Preprocessing failed: ";
    QTest::newRow("invite calls") << "rewrite-invite.kolm" << "filter-crlf.kolm" << "out.csv" << 4
                                  << header + callA << "";
    QTest::newRow("filter rule with an empty rewrite")
        << "empty.kolm" << "filter-empty-rewrite.kolm" << "out.csv" << 4 << header + callA << "";
    // The rules that read are used; the user is told of the rest once.
    QTest::newRow("lines skipped")
        << "rewrite-latin1.kolm" << "filter-invite.kolm" << "out.csv" << 4
        << header + "4,call-c,caf\xe9 latin1,INVITE\n7,call-c,x,CANCEL\n" + callA
        << "PreProcess CSV / Rewrite rules file " + fixture("rewrite-latin1.kolm")
               + ": 2 lines could not be read and were skipped; 1 rule was read";
    QTest::newRow("rewrite rules file missing")
        << "missing.kolm" << "filter-invite.kolm" << "out.csv" << 2 << QByteArray("previous output")
        << failed + "could not read " + fixture("missing.kolm");
    QTest::newRow("no rule in the filter rules file")
        << "rewrite-invite.kolm" << "garbage.kolm" << "out.csv" << 3 << QByteArray("previous output")
        << failed + "no rule could be read from the filter rules file " + fixture("garbage.kolm")
               + " (2 lines could not be read and were skipped)";
    QTest::newRow("folder without attributes.conf")
        << "rewrite-invite.kolm" << "filter-invite.kolm" << "out.csv" << 1 << QByteArray("previous output")
        << failed + "could not read ";
    QTest::newRow("output not writable")
        << "rewrite-invite.kolm" << "filter-invite.kolm" << "no/such/folder/out.csv" << 4
        << QByteArray("<missing>") << failed + "could not write ";
}

void PreprocessActionTest::action()
{
    QFETCH(QString, rewrite);
    QFETCH(QString, filter);
    QFETCH(QString, output);
    QFETCH(int, dialogs);
    QFETCH(QByteArray, written);
    QFETCH(QString, warning);

    QTemporaryDir temp;
    const QString dir = temp.filePath("convs");
    QDir().mkpath(dir);
    ConversationSplitter splitter(fixture("calls.csv"), dir);
    QVERIFY(splitter.run());
    if (QString(QTest::currentDataTag()) == "folder without attributes.conf")
        QVERIFY(QFile::remove(dir + "/attributes.conf"));
    const QString out = temp.filePath(output);
    // A file the user agreed to replace: it changes only with a run.
    if (QFile f(out); f.open(QIODevice::WriteOnly))
        f.write("previous output");

    ControlWidget control(nullptr);
    control.glyphStore->setAttributes(TList<QString>({"a", "b"}), {});
    FileAnswers files({dir, fixture(rewrite), fixture(filter), out});
    MessageRecorder boxes;
    DebugCapture debug;
    debug.setForward(false);
    control.preprocessCSV();

    QCOMPARE(files.requests.size(), dialogs);
    const QStringList captions{"Select directory for processing", "Load Rewrite rules:",
                               "Load Filter rules:", "Save CSV"};
    for (int i = 0; i < files.requests.size(); ++i)
        QCOMPARE(files.requests.at(i).caption, captions.at(i));
    QCOMPARE(readAll(out), written);
    if (warning.isEmpty()) {
        QVERIFY(boxes.requests.isEmpty());
    } else {
        QCOMPARE(boxes.requests.size(), 1);
        const QString box = boxes.requests.first().title + " / " + boxes.requests.first().text;
        QVERIFY2(box.startsWith(warning), qPrintable(box));
    }
    // The loaded log's attributes are the store's again.
    QCOMPARE(control.glyphStore->packetAttributeNames.size(), 2);
}

// With a log loaded, the rewrite rules of a run are the rules that the side
// panel lists and the matrix applies; the dialogs and boxes open over the
// main window.
void PreprocessActionTest::viewsTakeTheRules()
{
    SettingsGuard settings;
    MessageRecorder boxes;
    MainWindow w;
    ControlWidget* control = w.controlWidget;
    {
        FileAnswers log({fixture("calls.csv")});
        OpenWidget dialog(control);
        dialog.openFile();
        dialog.groupingCombo->setCurrentText("sip.Call-ID");
        dialog.import();
    }
    QVERIFY(control->glyphStore->rootContext);
    boxes.requests.clear();
    const auto invites = [&w]() {
        int n = 0;
        for (BinCell* cell : w.leftEventRibbon->view->cells)
            for (const TList<BinItem*>& row : cell->rows)
                for (const BinItem* item : row)
                    n += item && item->name == "Invite";
        return n;
    };
    QCOMPARE(invites(), 0);

    QTemporaryDir temp;
    const QString dir = temp.filePath("convs");
    QDir().mkpath(dir);
    QVERIFY(ConversationSplitter(fixture("calls.csv"), dir).run());
    FileAnswers files({dir, fixture("rewrite-latin1.kolm"), fixture("filter-invite.kolm"),
                       temp.filePath("out.csv")});
    DebugCapture debug;
    debug.setForward(false);
    control->preprocessCSV();

    QCOMPARE(files.requests.size(), 4);
    for (const FileAsker::Request& r : files.requests)
        QCOMPARE(r.parent, static_cast<QWidget*>(&w));
    QCOMPARE(boxes.titles(), QStringList{"PreProcess CSV"});   // the lines skipped
    QCOMPARE(boxes.requests.first().parent, static_cast<QWidget*>(&w));

    QCOMPARE(w.settingsWidget->ruleList->count(), 1);
    // The INVITEs of call-a and call-c, each rewritten in its row, by a
    // glyph that is the store's, as after a rules import.
    QCOMPARE(invites(), 2);
    const int id = control->glyphStore->findGlyph("Invite").id;
    QVERIFY(id > 0 && control->glyphStore->rules.first().post->children.first()->glyph.id == id);
}

LUMIVANE_TEST(PreprocessActionTest)
#include "PreprocessActionTest.moc"
