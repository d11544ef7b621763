#include "ActionSweep.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
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
#include <QPointer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Every allocation of the actions that read or write a file in place of
// another fails in turn: the rules import and export of the rule window,
// Export Selection, the XES export and PreProcess CSV, each entered where
// the user's click lands and with its dialogs answered. Nothing gets out of the action. It
// either does what an action that never failed does, or it shows one box
// that says it failed, the file it was to replace byte for byte as it was
// with nothing beside it, and the glyph store's glyphs and rules as they
// were. Done again, it does what an action that never failed does.

namespace {

// The files of a folder (hidden ones too), each with its bytes' hash.
QStringList listing(const QString& dir)
{
    QStringList out;
    for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        QFile f(info.filePath());
        out << QStringLiteral("%1 %2").arg(info.fileName()).arg(f.open(QIODevice::ReadOnly) ? qHash(f.readAll()) : 0);
    }
    return out;
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
// the target with its old bytes; its dialogs answered.
struct Action : actionsweep::Scene
{
    Action()
    {
        previousFiles = FileAsker::setHandler([this](const FileAsker::Request& r) { return file(r); });
    }
    ~Action() override { FileAsker::setHandler(previousFiles); }

    // Puts the target's old bytes back and the data as before the action.
    void prepare() override
    {
        QFile f(target);
        if (f.open(QIODevice::WriteOnly))
            f.write(old);
        f.close();
        restore();
    }
    // The data the action changes, and the folder's files.
    QStringList state() const override { return data() << listing(temp.path()); }
    // The action's own failure, the folder as it was; or a handler's guard
    // that tells of what it stopped: the action itself, or only the refresh
    // of a view after the action went through whole.
    QString stopped(const actionsweep::Stop& stop) const override
    {
        const bool guard = stop.told.title == QLatin1String("Out of memory");
        if (!guard && stop.told.title + QStringLiteral(": ") + stop.told.text != failed)
            return QStringLiteral("not the failure's message");
        return stop.shown == stop.before || (guard && stop.shown == stop.once) ? QString() : QStringLiteral("left ")
                   + actionsweep::difference(stop.shown, stop.before);
    }

    virtual void restore() {}
    virtual QStringList data() const { return {}; }
    // The XES export asks for its input first, the others for the target.
    virtual QString file(const FileAsker::Request& r)
    {
        return r.caption == QLatin1String("Open CSV") ? testDataPath(QStringLiteral("xes/create_exchange.csv"))
                                                      : target;
    }

    FileAsker::Handler previousFiles;
    QTemporaryDir temp;
    QString target = temp.filePath(QStringLiteral("target"));
    QByteArray old;
    // The box an action that fails shows.
    QString failed;
};

// The store's glyphs and rules and the next glyph id, put back as fresh
// copies, no larger than they need to be.
struct StoreCopy
{
    explicit StoreCopy(GlyphStore* store)
        : store(store), glyphs(store->glyphs), colorGlyphs(store->colorGlyphs), rules(store->rules), nextId(nextGlyphId)
    {
    }
    void restore() const
    {
        TList<BinItem> copy = glyphs;
        store->glyphs.items.swap(copy.items);
        copy = colorGlyphs;
        store->colorGlyphs.items.swap(copy.items);
        TList<Rule> rulesCopy = rules;
        store->rules.items.swap(rulesCopy.items);
        nextGlyphId = nextId;
    }
    GlyphStore* store;
    TList<BinItem> glyphs;
    TList<BinItem> colorGlyphs;
    TList<Rule> rules;
    int nextId;
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
        saved.reset(new StoreCopy(store()));
        editor = RuleEditorWidget::openWindow(&control);
        window = editor->window();
    }
    ~RuleWindowAction() override { delete window.data(); }

    GlyphStore* store() const { return control.glyphStore; }
    void restore() override
    {
        saved->restore();
        editor->ruleTable->setRules();
    }
    QStringList data() const override { return rulesState(store(), editor->ruleTable); }

    ControlWidget control{nullptr};
    std::unique_ptr<StoreCopy> saved;
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
    void act() override { window.navigationWidget->exportCSV(); }
    QStringList data() const override
    {
        return {QString::number(window.leftEventRibbon->view->selectedPackets().size())};
    }

    MainWindow window;
};

// PreProcess CSV of a folder of conversations over an earlier output: the
// store lends its attribute tables to the run and takes its rewrite rules
// and glyphs, all of which stay as they were when the run fails. It asks
// for its folder and two rules files.
struct Preprocessing : Action
{
    Preprocessing()
    {
        QDir().mkpath(folder);
        ConversationSplitter splitter(fixtures + QStringLiteral("calls.csv"), folder);
        splitter.run();
        control.glyphStore->setAttributes(TList<QString>({"a", "b"}), {});
        saved.reset(new StoreCopy(control.glyphStore));
        old = "previous output";
        failed = QStringLiteral("Failed to preprocess: Preprocessing failed: ran out of memory");
    }
    void restore() override { saved->restore(); }
    void act() override { control.preprocessCSV(); }
    QStringList data() const override
    {
        const GlyphStore* store = control.glyphStore;
        QStringList out{glyphsText(store->glyphs), QStringLiteral("next id %1").arg(nextGlyphId)};
        for (const Rule& rule : store->rules.items)
            out << rule.toString();
        for (const QString& name : store->packetAttributeNames.items)
            out << name + QLatin1Char('=') + QString::number(store->attributeColumns.value(name, -1));
        return out;
    }
    QString file(const FileAsker::Request& r) override
    {
        if (r.caption == QLatin1String("Select directory for processing"))
            return folder;
        if (r.caption == QLatin1String("Load Rewrite rules:"))
            return fixtures + QStringLiteral("rewrite-invite.kolm");
        if (r.caption == QLatin1String("Load Filter rules:"))
            return fixtures + QStringLiteral("filter-crlf.kolm");
        return target;
    }

    ControlWidget control{nullptr};
    const QString fixtures = testDataPath(QStringLiteral("import/preprocess/"));
    const QString folder = temp.filePath(QStringLiteral("convs"));
    std::unique_ptr<StoreCopy> saved;
};

// Export XES of a file of quoted tshark fields, over an earlier export.
struct XesExport : Action
{
    XesExport()
    {
        old = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<log/>\n";
        failed = QStringLiteral("Failed to save selection: Save failed: file could not be opened or writte to");
    }
    void act() override { control.exportXes(); }

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
    void everyAllocation_data();
    void everyAllocation();
};

void FileFailuresTest::initTestCase()
{
    // Only the program's own allocations fail (see LoadFailuresTest): Qt's
    // do not recover from a failed one.
    sweep::spareQt();
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
    std::unique_ptr<Action> act = makeAction(action);
    const actionsweep::Result result = actionsweep::run(action, *act);
    QCOMPARE(result.told, succeeded.isEmpty() ? QStringList() : QStringList{succeeded});
    // The target replaced, or the rules taken from it.
    QVERIFY2(!result.once.contains(QStringLiteral("target %1").arg(qHash(act->old))) || action == "rules import",
             qPrintable(result.once.join(QLatin1Char('|'))));
}

LUMIVANE_TEST(FileFailuresTest)
#include "FileFailuresTest.moc"
