#include "TestRegistry.h"
#include "DebugCapture.h"
#include "FileAnswers.h"
#include "FileSizeLimit.h"
#include "PatternTrees.h"
#include "RuleFixture.h"
#include "TempWorkDir.h"

#include <QDir>

#include "app/IconWidget.h"
#include "editors/RuleListWidget.h"

#include <unistd.h>

using namespace rulefix;

namespace {

const QString LINE_A = "A~true~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == a,0,0,0 ] --> "
                       "&&[ X,x,(255;0;0),(0;0;0),(0;0;0),true,0,0,1 ]";
const QString LINE_B = "B~false~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == b,0,0,0 ] --> "
                       "&&[ Y,y,(0;0;255),(0;0;0),(0;0;0),true,0,0,1 ]";

QStringList lines(const GlyphStore* store)
{
    QStringList out;
    for (const Rule& r : store->rules.items)
        out << r.toString();
    return out;
}

QString boxes(const MessageRecorder& r)
{
    return r.requests.isEmpty() ? QString() : r.requests[0].title + " / " + r.requests[0].text;
}

} // namespace

// Rules files: what the export writes and reports, what the import reads,
// skips and refuses.
class RuleFilesTest : public QObject
{
    Q_OBJECT

private slots:
    void exporting_data()
    {
        QTest::addColumn<int>("rules");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("box");
        const QString notOpened = "Failed to save rules / Save failed: file could not be opened";
        QTest::newRow("two rules") << 2 << "out.kolm" << "Save Rules / Save successful";
        QTest::newRow("no rules") << 0 << "out.kolm" << "Save Rules / Save successful";
        QTest::newRow("read-only directory") << 1 << "ro/out.kolm" << notOpened;
        QTest::newRow("missing folder") << 1 << "gone/out.kolm" << notOpened;
        QTest::newRow("full disk") << 1 << "/dev/full"
                                   << "Failed to save rules / Save failed: file could not be written to";
    }
    void exporting()
    {
        QFETCH(int, rules);
        QFETCH(QString, target);
        QFETCH(QString, box);
        if (target.startsWith("ro/") && geteuid() == 0)
            QSKIP("root writes into read-only directories");
        TempWorkDir dir;
        QDir(dir.path()).mkdir("ro");
        QFile::setPermissions(dir.filePath("ro"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QString path = target.startsWith('/') ? target : dir.write(target, "older, longer content");
        ControlWidget control(nullptr);
        for (const QString& line : QStringList{LINE_A, LINE_B}.mid(0, rules))
            control.glyphStore->rules.append(Rule::fromString(line));
        RuleEditorWidget editor(nullptr, &control);
        MessageRecorder recorder;
        FileAnswers answers({path});
        editor.exportAction->trigger();
        QCOMPARE(answers.requests[0].caption + answers.requests[0].filter,
                 QStringLiteral("Save settings:KOLM files (*.kolm)"));
        QCOMPARE(boxes(recorder), box);
        QFile out(path);
        if (box.startsWith("Save Rules") && out.open(QIODevice::ReadOnly))
            QCOMPARE(out.readAll(), QStringList({LINE_A, LINE_B}).mid(0, rules).join('\n').toLatin1());
        else
            QVERIFY(!box.startsWith("Save Rules"));
    }

    // Export on a full disk: the rules file it was to replace stays byte for
    // byte, a new one is not left behind, the box says it could not be
    // written. Small exports fail at the last flush, larger ones on the way.
    void exportOnFullDisk_data()
    {
        QTest::addColumn<int>("rules");
        QTest::addColumn<bool>("old");
        QTest::newRow("2 rules over 5") << 2 << true;
        QTest::newRow("200 rules over 5") << 200 << true;
        QTest::newRow("200 rules, new file") << 200 << false;
    }
    void exportOnFullDisk()
    {
        QFETCH(int, rules);
        QFETCH(bool, old);
        TempWorkDir dir;
        ControlWidget control(nullptr);
        for (int i = 0; i < 5; ++i)
            control.glyphStore->rules.append(Rule::fromString(QString(LINE_A).replace(0, 1, QChar('a' + i))));
        RuleEditorWidget editor(nullptr, &control);
        const QString path = dir.filePath("rules.kolm");
        MessageRecorder recorder;
        if (old) {
            FileAnswers answers({path});
            editor.exportAction->trigger();
            QCOMPARE(boxes(recorder), QStringLiteral("Save Rules / Save successful"));
            recorder.requests.clear();
        }
        const QMap<QString, QByteArray> before = filesIn(dir.path());
        control.glyphStore->rules.clear();
        for (int i = 0; i < rules; ++i)
            control.glyphStore->rules.append(Rule::fromString(i % 2 ? LINE_A : LINE_B));
        {
            // Room for less than two rules.
            FileSizeLimit full(200);
            QVERIFY(full.active());
            QVERIFY(!editor.writeRulesFile(path));
        }
        QCOMPARE(boxes(recorder), QStringLiteral("Failed to save rules / Save failed: file could not be written to"));
        QCOMPARE(recorder.requests.size(), 1);
        QCOMPARE(filesIn(dir.path()), before);
    }

    // The rules read replace every rule; the glyphs become the defaults plus
    // the rewrite glyphs, one store id per name (colour glyphs keep theirs,
    // delete items none); table and matrix follow.
    void importReplaces()
    {
        Window w;
        BinItem mine(nullptr, nullptr);
        mine.name = "Mine";
        w.store()->addGlyph(mine);
        addRules(w.store(), "Q");
        RuleWindow rules(w.control());
        FileAnswers answers({testDataPath("editors/rules/rewrite-glyphs.kolm")});
        rules.editor->importAction->trigger();
        QCOMPARE(answers.requests[0].caption + answers.requests[0].filter,
                 QStringLiteral("Load settings:KOLM file (*.kolm)"));
        GlyphStore* s = w.store();
        QCOMPARE(names(s), QStringLiteral("A,B,C,D,E"));
        QCOMPARE(lines(s).mid(0, 2), QStringList({LINE_A, LINE_B}));
        QCOMPARE(s->glyphs.size(), 5);
        QCOMPARE(s->glyphs[3].name + s->glyphs[4].name, QStringLiteral("XY"));
        auto id = [s](int i) { return s->rules[i].post->children.first()->glyph.id; };
        QCOMPARE(QList<int>({id(0), id(1), id(2), id(3), id(4)}),
                 QList<int>({s->glyphs[3].id, s->glyphs[4].id, s->glyphs[3].id, s->findGlyph("Blue").id, 0}));
        QVERIFY(s->glyphs[3].id != s->glyphs[4].id);
        QCOMPARE(rules.table->rowCount(), 6);
        QCOMPARE(w.reloads, 1);
    }

    // Line ends, skipped lines, the first zero byte, Latin-1; and files that
    // cannot be opened (warned) or of which nothing reads: rules and glyphs
    // stay as they were.
    void reading_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("names");
        QTest::addColumn<int>("skipped");
        QTest::addColumn<QString>("box");
        const QString failed = "Failed to load settings / Load failed: file could not be opened";
        const QString noRule = "Failed to load settings / Load failed: no rule could be read";
        const QString twoSkipped = " (2 lines could not be read and were skipped); the rules are unchanged";
        QTest::newRow("LF") << "two.kolm" << "A,B" << 0 << "";
        QTest::newRow("CRLF") << "two-crlf.kolm" << "A,B" << 0 << "";
        QTest::newRow("final newline") << "two-final-newline.kolm" << "A,B" << 0 << "";
        QTest::newRow("short, blank, null tree")
            << "skipped-lines.kolm" << "A,B" << 2
            << "Load settings / 2 lines could not be read and were skipped; 2 rules were loaded";
        QTest::newRow("unreadable line in the middle")
            << "middle-unreadable.kolm" << "A,B" << 1
            << "Load settings / 1 line could not be read and was skipped; 2 rules were loaded";
        // Only a carriage return that ends a line is dropped.
        QTest::newRow("carriage return inside") << "cr-inside.kolm" << "R\rS,B" << 0 << "";
        QTest::newRow("zero byte") << "nul.kolm" << "A" << 0 << "";
        QTest::newRow("only line breaks") << "blank.kolm" << "" << 0 << "";
        QTest::newRow("~ in a name")
            << "tilde-name.kolm" << "B" << 1
            << "Load settings / 1 line could not be read and was skipped; 1 rule was loaded";
        QTest::newRow("Latin-1") << "latin1.kolm" << "Gr\u00f6\u00dfe" << 0 << "";
        QTest::newRow("missing") << "missing.kolm" << "Q" << 0 << failed;
        QTest::newRow("unreadable") << "unreadable" << "Q" << 0 << failed;
        QTest::newRow("directory") << "." << "Q" << 0 << failed;
        QTest::newRow("binary") << "binary.kolm" << "Q" << 2 << noRule + twoSkipped;
        QTest::newRow("zero byte first") << "nul-first.kolm" << "Q" << 0
                                         << noRule + "; the rules are unchanged";
        QTest::newRow("50 MB") << "big" << "Q" << 2 << noRule + twoSkipped;
    }
    void reading()
    {
        QFETCH(QString, file);
        QFETCH(QString, names);
        QFETCH(int, skipped);
        QFETCH(QString, box);
        if (file == "unreadable" && geteuid() == 0)
            QSKIP("root reads every file");
        TempWorkDir dir;
        QString path = testDataPath("editors/rules/" + file);
        if (file == "unreadable")
            QFile::setPermissions(path = dir.write(file, LINE_A.toLatin1()), QFileDevice::WriteOwner);
        else if (file == "big")
            path = dir.write(file, "R~t~t~&&[ " + QByteArray(25 << 20, 'x') + "\n" + QByteArray(25 << 20, 'y'));
        ControlWidget control(nullptr);
        addRules(control.glyphStore, "Q");
        RuleEditorWidget editor(nullptr, &control);
        MessageRecorder recorder;
        DebugCapture debug;
        debug.setForward(false);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(editor.readRulesFile(path), names != "Q");
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(rulefix::names(control.glyphStore), names);
        QCOMPARE(debug.lines().filter("skipped").size(), skipped);
        QCOMPARE(boxes(recorder), box);
        QCOMPARE(recorder.requests.size(), box.isEmpty() ? 0 : 1);
        if (names.startsWith("A"))
            QCOMPARE(lines(control.glyphStore).first(), LINE_A);
    }

    // Every kind of rule the editor holds comes back equal through the
    // rule editor's Export and Import: the filter rule "Create rule.." makes
    // (an empty rewrite), a delete rewrite, a rule saved with its rewrite
    // left empty, one without a rewrite tree, each with its flags.
    void exportImportKeepsEveryKind()
    {
        Window w;
        EventWidget::ruleCounter = 0;
        QWidget cell;
        BinItem login(nullptr, &cell);
        login.name = "Login";
        RuleEditorWidget* created = w.main->leftEventRibbon->view->createRule(TList<BinItem*>{&login, &login});
        QScopedPointer<QWidget> createdWindow(created->window());
        QTest::mouseClick(created->saveButton, Qt::LeftButton);
        GlyphStore* s = w.store();
        QCOMPARE(names(s), QStringLiteral("filter 0"));
        s->rules.append(Rule("T", kinds("ab"), rewrite("X"), false, true));
        s->rules.append(Rule("D", kinds("c"), trees::tree("seq(_)"), true, false));
        s->rules.last().post->children.first()->glyph.mode = DELETE;
        s->rules.append(Rule("S", kinds("d"), trees::tree("seq([])"), true, true));
        s->rules.append(Rule("N", kinds("e"), nullptr, false, false));
        const QStringList written = lines(s);
        QVERIFY(written.first().endsWith(" --> &&") && written.at(3).endsWith(" --> &&"));

        RuleWindow rules(w.control());
        TempWorkDir dir;
        const QString path = dir.filePath("all.kolm");
        MessageRecorder recorder;
        FileAnswers answers({path, path});
        rules.editor->exportAction->trigger();
        s->rules.clear();
        rules.editor->importAction->trigger();
        QCOMPARE(boxes(recorder), QStringLiteral("Save Rules / Save successful"));
        QCOMPARE(recorder.requests.size(), 1);
        QCOMPARE(lines(s), written);
        QCOMPARE(rules.table->rowCount(), 6);
        // An empty rewrite is one empty slot, as "Create rule.." made it.
        for (int i : {0, 3}) {
            QCOMPARE(s->rules[i].post->children.size(), 1);
            QCOMPARE(s->rules[i].post->children.first()->glyph.mode, EMPTY);
        }
        QCOMPARE(s->rules[2].post->children.first()->glyph.mode, DELETE);
        QVERIFY(!s->rules[4].post);
        // The filter rule loads into the editor as it was made.
        rules.clickRow(0);
        QCOMPARE(rules.editor->nameEdit->text(), QStringLiteral("filter 0"));
        QCOMPARE(rules.editor->preEditor->map->root->children.size(), 2);
        QCOMPARE(rules.editor->postEditor->map->root->children.first()->glyph.mode, EMPTY);
    }

    // A rule whose precondition is one bare item (no "&&", as preprocessing
    // files have it) is drawn in the rule table and in the rule list.
    void bareItemRuleIsDrawn()
    {
        ControlWidget control(nullptr);
        RuleWindow rules(&control);
        FileAnswers answers({testDataPath("editors/rules/bare-item.kolm")});
        rules.editor->importAction->trigger();
        QCOMPARE(control.glyphStore->rules[0].pre->type, int(ParseNode::Leaf));
        const auto blank = [](const QIcon& icon) {
            const QImage image = icon.pixmap(200, 50).toImage();
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (image.pixelColor(x, y) != QColor(Qt::white))
                        return false;
            return true;
        };
        QVERIFY(!blank(rules.table->item(0, 1)->data(Qt::DecorationRole).value<QIcon>()));
        RuleListWidget list(&control, nullptr);
        list.refreshRules();
        QVERIFY(!blank(list.itemWidget(list.item(0))->findChild<IconWidget*>()->icon));
    }

    // A filter rule exported before empty rewrites were read back.
    void olderFilterRuleReads()
    {
        ControlWidget control(nullptr);
        RuleEditorWidget editor(nullptr, &control);
        MessageRecorder recorder;
        QVERIFY(editor.readRulesFile(testDataPath("editors/rules/older-filter.kolm")));
        QCOMPARE(names(control.glyphStore), QStringLiteral("filter 3,A"));
        const Rule& filter = control.glyphStore->rules[0];
        QCOMPARE(trees::shape(filter.pre), QStringLiteral("seq(Login,Read)"));
        QCOMPARE(filter.post->children.first()->glyph.mode, EMPTY);
        QVERIFY(filter.match && filter.visible);
        QVERIFY(recorder.requests.isEmpty());
    }

    // Rules drawn in the editor read back the same after an export and an
    // import; a name outside Latin-1 as the conversion writes it.
    void editorRulesRoundTrip()
    {
        ControlWidget control(nullptr);
        RuleWindow w(&control);
        for (const char* p : {"seq(A,B)", "seq(star(A),or(B,C))", "seq(rep2..5(A),not(B))", "seq(A{B,C},D)"})
            w.save(p, trees::tree(p), trees::tree("seq(X)"));
        ParseNode* pre = kinds("ab");
        pre->children.first()->glyph.quantifier = 2;
        w.save("\u540d", pre, rewrite("Z"));
        QStringList written = lines(control.glyphStore);
        QCOMPARE(written.size(), 5);
        QVERIFY(written.last().contains("kind == a,0,0,0,2 ]"));
        TempWorkDir dir;
        MessageRecorder recorder;
        QVERIFY(w.editor->writeRulesFile(dir.filePath("r.kolm")));
        QVERIFY(w.editor->readRulesFile(dir.filePath("r.kolm")));
        written.last().replace("\u540d", "?");
        QCOMPARE(lines(control.glyphStore), written);
    }
};

LUMIVANE_TEST(RuleFilesTest)
#include "RuleFilesTest.moc"
