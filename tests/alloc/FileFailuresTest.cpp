#include "FailingNew.h"
#include "ImportFixture.h"
#include "Sweep.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleWidget.h"
#include "import/ConversationSplitter.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QPointer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Every allocation of the actions that read or write a file in place of
// another fails in turn: the rules import and export of the rule window,
// Export Selection, the XES export and PreProcess CSV, each entered where the user's click
// lands and with its dialogs answered. Nothing gets out of the action. It
// either does what an action that never failed does, or it shows one box
// that says it failed, the file it was to replace byte for byte as it was
// with nothing beside it, and the glyph store's glyphs and rules as they
// were. Done again, it does what an action that never failed does.

namespace {

using Listing = QMap<QString, QByteArray>;

// The files of a folder (hidden ones too) with their bytes.
Listing listing(const QString& dir)
{
    Listing out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        QFile f(info.filePath());
        out.insert(info.fileName(), f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>"));
    }
    return out;
}

QString show(const Listing& files)
{
    QStringList out;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        out << QStringLiteral("%1 (%2 bytes)").arg(it.key()).arg(it.value().size());
    return out.join(QStringLiteral(", "));
}

QString glyphsText(const TList<BinItem>& glyphs)
{
    QStringList out;
    for (const BinItem& g : glyphs.items)
        out << QStringLiteral("%1#%2").arg(g.name).arg(g.id);
    return out.join(QLatin1Char(' '));
}

// The glyph store's glyphs and rules, and a rule table's rows.
QStringList rulesState(const GlyphStore* store, const RuleWidget* table)
{
    QStringList out;
    out << glyphsText(store->glyphs) << glyphsText(store->colorGlyphs)
        << QStringLiteral("next id %1").arg(nextGlyphId);
    for (const Rule& rule : store->rules.items) {
        // The rewrite glyph's id is not in the text form.
        const int id = rule.post && rule.post->hasChildren() ? rule.post->children.first()->glyph.id : -1;
        out << rule.toString() + QStringLiteral(" #%1").arg(id);
    }
    QStringList rows;
    for (int row = 0; row < table->table->rowCount(); ++row) {
        const QTableWidgetItem* item = table->table->item(row, table->nameColumn);
        rows << (item ? item->text() : QStringLiteral("<no item>"));
    }
    out << QStringLiteral("table: ") + rows.join(QLatin1Char(','));
    return out;
}

// One action of the user's on a file, in a folder of its own that holds
// the target with its old bytes.
struct Action
{
    virtual ~Action() = default;
    // Puts the target's old bytes back and the data as before the action.
    virtual void prepare() = 0;
    // The user's click.
    virtual void act() = 0;
    // The data the action changes, as text.
    virtual QStringList state() const = 0;

    QTemporaryDir temp;
    QString target = temp.filePath(QStringLiteral("target"));
    QByteArray old;
    // The box an action that fails shows.
    QString failed;

    void writeTarget()
    {
        QFile f(target);
        if (f.open(QIODevice::WriteOnly))
            f.write(old);
    }
};

// Five rules in the store that rewrite to a colour glyph, a glyph of the
// analyst's; the rule window. The glyph list has room for one glyph more
// than it holds: an import that adds two has to grow it.
struct RuleWindowAction : Action
{
    RuleWindowAction()
    {
        BinItem mine(nullptr, nullptr);
        mine.name = QStringLiteral("Mine");
        store()->addGlyph(mine);
        for (const char* name : {"P", "Q", "R", "S", "T"}) {
            const QString letter = QString::fromLatin1(name);
            store()->rules.append(Rule::fromString(
                letter + QStringLiteral("~true~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == ")
                + letter.toLower()
                + QStringLiteral(",0,0,0 ] --> &&[ Blue,x,(0;128;255),(0;0;0),(0;0;0),true,0,0,1 ]")));
        }
        store()->adoptRewriteGlyphs(store()->rules);
        glyphs = store()->glyphs;
        colorGlyphs = store()->colorGlyphs;
        rules = store()->rules;
        nextId = nextGlyphId;
        editor = RuleEditorWidget::openWindow(&control);
        window = editor->window();
    }
    ~RuleWindowAction() override { delete window.data(); }

    GlyphStore* store() const { return control.glyphStore; }
    void prepare() override
    {
        writeTarget();
        // Fresh copies, no larger than they need to be.
        TList<BinItem> copy = glyphs;
        store()->glyphs.items.swap(copy.items);
        copy = colorGlyphs;
        store()->colorGlyphs.items.swap(copy.items);
        TList<Rule> rulesCopy = rules;
        store()->rules.items.swap(rulesCopy.items);
        nextGlyphId = nextId;
        editor->ruleTable->setRules();
    }
    QStringList state() const override { return rulesState(store(), editor->ruleTable); }

    ControlWidget control{nullptr};
    TList<BinItem> glyphs;
    TList<BinItem> colorGlyphs;
    TList<Rule> rules;
    int nextId = 0;
    RuleEditorWidget* editor = nullptr;
    QPointer<QWidget> window;
};

// Import replaces them by five rules with their rewrite glyphs.
struct RulesImport : RuleWindowAction
{
    RulesImport()
    {
        QFile f(testDataPath(QStringLiteral("editors/rules/rewrite-glyphs.kolm")));
        if (f.open(QIODevice::ReadOnly))
            old = f.readAll();
        failed = QStringLiteral("Failed to load settings: Load failed: ran out of memory; the rules are unchanged");
    }
    void act() override { editor->importAction->trigger(); }
};

// Export writes them over an older, shorter rules file.
struct RulesExport : RuleWindowAction
{
    RulesExport()
    {
        old = "A~true~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),true,0,0,0 ] --> &&";
        failed = QStringLiteral("Failed to save rules: Save failed: file could not be written to");
    }
    void act() override { editor->exportAction->trigger(); }
};

// Export selection of a window's event matrix, every event of a small log
// selected, over an earlier export.
struct SelectionExport : Action
{
    SelectionExport()
    {
        QByteArray log = "frame.time_epoch,ip.src,ip.dst,info\n";
        for (int i = 0; i < 40; ++i)
            log += QByteArray::number(1600000000 + 7 * i) + ",10.0.0." + QByteArray::number(i % 3) + ",10.0.1."
                   + QByteArray::number(i % 5) + ",request " + QByteArray::number(i * 7919 % 100) + "\n";
        const QString path = temp.filePath(QStringLiteral("log.csv"));
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(log);
        f.close();
        OpenWidget dialog(window.controlWidget);
        chooseLog(dialog, path);
        dialog.groupingCombo->setCurrentText(QStringLiteral("ip.src"));
        dialog.import();
        QFile::remove(path);
        window.leftEventRibbon->view->selectPackets(window.controlWidget->glyphStore->rootContext->packets);
        old = "frame.time_epoch,ip.src\n1,a\n2,b";
        failed = QStringLiteral("Failed to save selection: Save failed: file could not be written to");
    }
    void prepare() override { writeTarget(); }
    void act() override { window.navigationWidget->exportCSV(); }
    QStringList state() const override
    {
        return {QString::number(window.leftEventRibbon->view->selectedPackets().size())};
    }

    MainWindow window;
};

// PreProcess CSV of a folder of conversations over an earlier output: the
// store lends its attribute tables to the run and takes its rewrite rules
// and glyphs, all of which stay as they were when the run fails.
struct Preprocessing : Action
{
    Preprocessing()
    {
        const QString fixtures = testDataPath(QStringLiteral("import/preprocess/"));
        folder = temp.filePath(QStringLiteral("convs"));
        QDir().mkpath(folder);
        ConversationSplitter splitter(fixtures + QStringLiteral("calls.csv"), folder);
        splitter.run();
        rewrite = fixtures + QStringLiteral("rewrite-invite.kolm");
        filter = fixtures + QStringLiteral("filter-crlf.kolm");
        control.glyphStore->setAttributes(TList<QString>({"a", "b"}), {});
        names = control.glyphStore->packetAttributeNames;
        glyphs = control.glyphStore->glyphs;
        rules = control.glyphStore->rules;
        nextId = nextGlyphId;
        old = "previous output";
        failed = QStringLiteral("Failed to preprocess: Preprocessing failed: ran out of memory");
    }
    void prepare() override
    {
        writeTarget();
        TList<BinItem> copy = glyphs;
        control.glyphStore->glyphs.items.swap(copy.items);
        TList<Rule> rulesCopy = rules;
        control.glyphStore->rules.items.swap(rulesCopy.items);
        nextGlyphId = nextId;
    }
    void act() override { control.preprocessCSV(); }
    QStringList state() const override
    {
        const GlyphStore* store = control.glyphStore;
        QStringList out{glyphsText(store->glyphs), QStringLiteral("next id %1").arg(nextGlyphId)};
        for (const Rule& rule : store->rules.items)
            out << rule.toString();
        for (const QString& name : store->packetAttributeNames.items)
            out << name + QLatin1Char('=') + QString::number(store->attributeColumns.value(name, -1));
        return out;
    }

    ControlWidget control{nullptr};
    QString folder;
    QString rewrite;
    QString filter;
    TList<QString> names;
    TList<BinItem> glyphs;
    TList<Rule> rules;
    int nextId = 0;
};

// Export XES of a file of quoted tshark fields, over an earlier export.
struct XesExport : Action
{
    XesExport()
    {
        old = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<log/>\n";
        failed = QStringLiteral("Failed to save selection: Save failed: file could not be opened or writte to");
    }
    void prepare() override { writeTarget(); }
    void act() override { control.exportXes(); }
    QStringList state() const override { return {}; }

    ControlWidget control{nullptr};
};

std::unique_ptr<Action> makeAction(const QString& name)
{
    if (name == QLatin1String("rules import"))
        return std::make_unique<RulesImport>();
    if (name == QLatin1String("rules export"))
        return std::make_unique<RulesExport>();
    if (name == QLatin1String("export selection"))
        return std::make_unique<SelectionExport>();
    if (name == QLatin1String("preprocessing"))
        return std::make_unique<Preprocessing>();
    return std::make_unique<XesExport>();
}

} // namespace

class FileFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyAllocation_data();
    void everyAllocation();
};

void FileFailuresTest::initTestCase()
{
    // Only the program's own allocations fail (see LoadFailuresTest): Qt's
    // do not recover from a failed one.
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "libQt5Test", "qt5/plugins/platforms"})
        QVERIFY2(failingnew::spareCallersIn(library), library);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void FileFailuresTest::cleanupTestCase()
{
    QLoggingCategory::setFilterRules(QString());
}

void FileFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("succeeded");   // the box of an action that never failed, if any
    QTest::newRow("rules import") << "rules import" << "";
    QTest::newRow("rules export") << "rules export" << "Save Rules: Save successful";
    QTest::newRow("export selection") << "export selection" << "Save Selection: Export successful";
    QTest::newRow("xes export") << "xes export" << "Save Selection: Export successful";
    QTest::newRow("preprocessing") << "preprocessing" << "";
}

void FileFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    QFETCH(QString, succeeded);

    QStringList boxes;
    const MessageAsker::Handler previousBoxes = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes << r.title + QStringLiteral(": ") + r.text;
        return QMessageBox::Ok;
    });
    std::unique_ptr<Action> act = makeAction(action);
    const QString input = testDataPath(QStringLiteral("xes/create_exchange.csv"));
    const FileAsker::Handler previousFiles = FileAsker::setHandler([&](const FileAsker::Request& r) {
        // The XES export asks for its input first; preprocessing for its
        // folder and two rules files.
        if (auto* run = dynamic_cast<Preprocessing*>(act.get())) {
            if (r.caption == QLatin1String("Select directory for processing"))
                return run->folder;
            if (r.caption == QLatin1String("Load Rewrite rules:"))
                return run->rewrite;
            if (r.caption == QLatin1String("Load Filter rules:"))
                return run->filter;
        }
        return r.caption == QLatin1String("Open CSV") ? input : act->target;
    });

    // What an action that never failed does.
    act->prepare();
    const QStringList before = act->state();
    boxes.clear();
    act->act();
    const QStringList once = act->state();
    const Listing done = listing(act->temp.path());
    QCOMPARE(boxes, succeeded.isEmpty() ? QStringList() : QStringList{succeeded});
    QVERIFY2(done.value(QStringLiteral("target")) != act->old || action == QLatin1String("rules import"),
             qPrintable(show(done)));
    QVERIFY(action != QLatin1String("rules import") || once != before);
    const Listing unchanged = [&] {
        act->prepare();
        return listing(act->temp.path());
    }();

    long messages = 0;
    const long points = sweep::run(action, [&](long n) {
        const QString where = QStringLiteral("failure point %1: ").arg(n);
        act->prepare();
        boxes.clear();
        bool escaped = false;
        bool hit = false;
        {
            failingnew::FailAt fail(n);
            try {
                act->act();
            } catch (...) {
                escaped = true;
            }
            hit = fail.stop();
        }
        // The box of a handler's guard comes from the event loop.
        QCoreApplication::processEvents();
        const QStringList after = act->state();
        if (escaped) {
            QTest::qFail(qPrintable(where + QStringLiteral("an exception got out, leaving ")
                                    + after.join(QLatin1Char('|'))),
                         __FILE__, __LINE__);
            return false;
        }
        const Listing files = listing(act->temp.path());
        // A handler's guard tells of what it stopped: the action itself, or
        // only the refresh of a view after the action went through whole.
        const bool toldMemory = boxes.size() == 1 && boxes.first().startsWith(QLatin1String("Out of memory: "));
        const bool failed = boxes == QStringList{act->failed} || toldMemory;
        if (failed) {
            ++messages;
            const bool asBefore = files == unchanged && after == before;
            const bool asDone = toldMemory && files == done && after == once;
            if (!asBefore && !asDone) {
                QTest::qFail(qPrintable(where + QStringLiteral("failed, but left ") + show(files)
                                        + QStringLiteral(" and ") + after.join(QLatin1Char('|'))),
                             __FILE__, __LINE__);
                return false;
            }
        } else if (boxes != (succeeded.isEmpty() ? QStringList() : QStringList{succeeded}) || files != done
                   || after != once) {
            QTest::qFail(qPrintable(where + QStringLiteral("told ") + boxes.join(QLatin1Char('/'))
                                    + QStringLiteral(", left ") + show(files) + QStringLiteral(" and ")
                                    + after.join(QLatin1Char('|'))),
                         __FILE__, __LINE__);
            return false;
        }
        // Done again, as an action that never failed.
        boxes.clear();
        act->act();
        if (boxes != (succeeded.isEmpty() ? QStringList() : QStringList{succeeded})
            || listing(act->temp.path()) != done || act->state() != once) {
            QTest::qFail(qPrintable(where + QStringLiteral("done again, told ") + boxes.join(QLatin1Char('/'))
                                    + QStringLiteral(", left ") + show(listing(act->temp.path()))),
                         __FILE__, __LINE__);
            return false;
        }
        return hit;
    });
    FileAsker::setHandler(previousFiles);
    MessageAsker::setHandler(previousBoxes);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << action << points << "failure points," << messages << "of them stopped with the message";
    QVERIFY(points > 0);
    QVERIFY(messages > 0);
}

LUMIVANE_TEST(FileFailuresTest)
#include "FileFailuresTest.moc"
