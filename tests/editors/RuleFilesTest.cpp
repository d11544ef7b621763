#include "TestRegistry.h"
#include "DebugCapture.h"
#include "FileAnswers.h"
#include "PatternTrees.h"
#include "RuleFixture.h"
#include "TempWorkDir.h"

#include <QDir>
#include <QElapsedTimer>

#include <unistd.h>

using namespace rulefix;

namespace {

const QString SAVED = QStringLiteral("Save Rules / Save successful");
const QString NOT_OPENED = QStringLiteral("Failed to save rules / Save failed: file could not be opened");
const QString NOT_WRITTEN = QStringLiteral("Failed to save rules / Save failed: file could not be written to");
const QString NOT_LOADED = QStringLiteral("Failed to load settings / Load failed: file could not be opened");

const QString LINE_A = QStringLiteral(
    "A~true~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == a,0,0,0 ] --> "
    "&&[ X,x,(255;0;0),(0;0;0),(0;0;0),true,0,0,1 ]");
const QString LINE_B = QStringLiteral(
    "B~false~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == b,0,0,0 ] --> "
    "&&[ Y,y,(0;0;255),(0;0;0),(0;0;0),true,0,0,1 ]");

QStringList glyphNames(const GlyphStore* store)
{
    QStringList out;
    for (const BinItem& g : store->glyphs.items)
        out << g.name;
    return out;
}

int glyphId(const GlyphStore* store, const QString& name)
{
    return store->findGlyph(name).id;
}

// A store with an analyst's glyph and rule, to see what an import keeps.
void fillStore(GlyphStore* store)
{
    BinItem mine(nullptr, nullptr);
    mine.name = QStringLiteral("Mine");
    store->addGlyph(mine);
    store->rules.append(rule(QStringLiteral("Old"), QStringLiteral("ab"), QStringLiteral("Mine")));
}

} // namespace

// Rules files: the export's bytes and failures, the import's reading of
// line forms, rewrite glyphs and bad files.
class RuleFilesTest : public QObject
{
    Q_OBJECT

private slots:
    // Lines in store order, "\n" between them and none at the end; no rules
    // give an empty file; both report success.
    void exportBytes_data()
    {
        QTest::addColumn<int>("rules");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("two") << 2 << (LINE_A + "\n" + LINE_B).toLatin1();
        QTest::newRow("none") << 0 << QByteArray();
    }
    void exportBytes()
    {
        QFETCH(int, rules);
        QFETCH(QByteArray, bytes);
        ControlWidget control(nullptr);
        for (const QString& line : QStringList{LINE_A, LINE_B}.mid(0, rules))
            control.glyphStore->rules.append(Rule::fromString(line));
        RuleEditorWidget editor(nullptr, &control);
        TempWorkDir dir;
        const QString path = dir.write(QStringLiteral("out.kolm"), "old content, longer than the rules");
        Boxes boxes;
        FileAnswers answers({path});
        editor.saveRules();
        QCOMPARE(readAll(path), bytes);
        QCOMPARE(boxes.shown(), QStringList{SAVED});
        QCOMPARE(answers.requests.size(), 1);
        QCOMPARE(answers.requests[0].kind, FileAsker::SaveFile);
        QCOMPARE(answers.requests[0].caption, QStringLiteral("Save settings:"));
        QCOMPARE(answers.requests[0].directory, QString());
        QCOMPARE(answers.requests[0].filter, QStringLiteral("KOLM files (*.kolm)"));
    }

    // A cancelled dialog writes nothing and says nothing.
    void exportCancelled()
    {
        ControlWidget control(nullptr);
        RuleEditorWidget editor(nullptr, &control);
        Boxes boxes;
        FileAnswers answers;
        editor.saveRules();
        QCOMPARE(answers.requests.size(), 1);
        QVERIFY(boxes.requests.isEmpty());
    }

    // What cannot be opened, and what cannot be written to, is reported
    // as such, never as a success.
    void exportFailures_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("box");
        QTest::newRow("read-only directory") << "readonly/rules.kolm" << NOT_OPENED;
        QTest::newRow("missing folder") << "gone/rules.kolm" << NOT_OPENED;
        QTest::newRow("a directory") << "folder" << NOT_OPENED;
        QTest::newRow("full disk") << "/dev/full" << NOT_WRITTEN;
    }
    void exportFailures()
    {
        QFETCH(QString, target);
        QFETCH(QString, box);
        if (target.startsWith(QLatin1String("readonly")) && geteuid() == 0)
            QSKIP("root writes into read-only directories");
        if (target.startsWith(QLatin1String("/dev/")) && !QFile::exists(target))
            QSKIP("/dev/full is not there");
        TempWorkDir dir;
        QDir(dir.path()).mkdir(QStringLiteral("readonly"));
        QFile::setPermissions(dir.filePath(QStringLiteral("readonly")),
                              QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QDir(dir.path()).mkdir(QStringLiteral("folder"));
        const QString path = target.startsWith(QLatin1Char('/')) ? target : dir.filePath(target);

        ControlWidget control(nullptr);
        control.glyphStore->rules.append(Rule::fromString(LINE_A));
        RuleEditorWidget editor(nullptr, &control);
        Boxes boxes;
        QVERIFY(!editor.writeRulesFile(path));
        QCOMPARE(boxes.shown(), QStringList{box});
        QCOMPARE(boxes.requests[0].icon, QMessageBox::Warning);
    }

    // An import replaces every rule and resets the glyphs to the defaults
    // plus the rewrite glyphs, each with the store's id; the table shows
    // the new rules and the matrix gets one reload.
    void importReplaces()
    {
        Window w;
        fillStore(w.store());
        RuleWindow rules(w.control());
        Boxes boxes;
        FileAnswers answers({dataPath(QStringLiteral("two.kolm"))});
        rules.editor->importAction->trigger();

        QCOMPARE(answers.requests.size(), 1);
        QCOMPARE(answers.requests[0].kind, FileAsker::OpenFile);
        QCOMPARE(answers.requests[0].caption, QStringLiteral("Load settings:"));
        QCOMPARE(answers.requests[0].filter, QStringLiteral("KOLM file (*.kolm)"));
        QVERIFY(boxes.requests.isEmpty());

        GlyphStore* s = w.store();
        QCOMPARE(lines(s->rules), QStringList({LINE_A, LINE_B}));
        QCOMPARE(glyphNames(s), QStringList({"WildCard", "DeleteItem", "Gray", "X", "Y"}));
        QCOMPARE(s->colorGlyphs.size(), 5);
        QCOMPARE(s->rules[0].post->children.first()->glyph.id, glyphId(s, "X"));
        QCOMPARE(s->rules[1].post->children.first()->glyph.id, glyphId(s, "Y"));
        QVERIFY(glyphId(s, "X") != glyphId(s, "Y"));
        QCOMPARE(rules.tableNames(), QStringList({"A", "B", ""}));
        QCOMPARE(w.reloads->count(), 1);
        QCOMPARE(w.reloads->senders[0], static_cast<QObject*>(rules.editor));
        QVERIFY(w.reloads->args[0].isEmpty());
    }

    // Line ends, skipped lines, the first zero byte and Latin-1 names.
    void importForms_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("skipLines");
        QTest::newRow("LF") << "two.kolm" << QStringList{"A", "B"} << 0;
        QTest::newRow("CRLF") << "two-crlf.kolm" << QStringList{"A", "B"} << 0;
        QTest::newRow("final newline") << "two-final-newline.kolm" << QStringList{"A", "B"} << 0;
        QTest::newRow("short, blank and broken lines") << "skipped-lines.kolm" << QStringList{"A", "B"} << 2;
        QTest::newRow("zero byte") << "nul.kolm" << QStringList{"A"} << 0;
        QTest::newRow("tilde in a name") << "tilde-name.kolm" << QStringList{"B"} << 1;
        QTest::newRow("Latin-1") << "latin1.kolm" << QStringList{QStringLiteral("Gr\u00f6\u00dfe")} << 0;
    }
    void importForms()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, names);
        QFETCH(int, skipLines);
        ControlWidget control(nullptr);
        RuleEditorWidget editor(nullptr, &control);
        DebugCapture debug;
        debug.setForward(false);
        Boxes boxes;
        QVERIFY(editor.readRulesFile(dataPath(file)));
        QCOMPARE(rulefix::names(control.glyphStore->rules), names);
        QVERIFY(boxes.requests.isEmpty());
        QCOMPARE(debug.lines().filter(QStringLiteral("skipped")).size(), skipLines);
        for (const Rule& r : control.glyphStore->rules.items) {
            QVERIFY(r.pre && r.post);
            if (r.name == QLatin1String("A"))
                QCOMPARE(r.toString(), LINE_A);
            if (r.name == QLatin1String("B"))
                QCOMPARE(r.toString(), LINE_B);
        }
        if (file == QLatin1String("latin1.kolm"))
            QCOMPARE(control.glyphStore->rules[0].post->children.first()->glyph.name,
                     QStringLiteral("\u00c4"));
    }

    // A rewrite glyph takes the id of the store's glyph of its name: one id
    // per name, the colour glyphs' own ids; delete items keep theirs.
    void importRewriteIds()
    {
        ControlWidget control(nullptr);
        RuleEditorWidget editor(nullptr, &control);
        QVERIFY(editor.readRulesFile(dataPath(QStringLiteral("rewrite-glyphs.kolm"))));
        GlyphStore* s = control.glyphStore;
        QCOMPARE(rulefix::names(s->rules), QStringList({"A", "B", "C", "D", "E"}));
        QCOMPARE(glyphNames(s), QStringList({"WildCard", "DeleteItem", "Gray", "X", "Y"}));
        auto id = [s](int i) { return s->rules[i].post->children.first()->glyph.id; };
        QCOMPARE(id(0), glyphId(s, "X"));
        QCOMPARE(id(2), glyphId(s, "X"));
        QCOMPARE(id(1), glyphId(s, "Y"));
        QCOMPARE(id(3), glyphId(s, "Blue"));
        QCOMPARE(id(4), 0);
        QVERIFY(id(0) >= 8 && id(1) >= 8 && id(0) != id(1));
    }

    // Files that do not open (warned), and files of which nothing reads
    // (not a rules file), leave the rules and glyphs as they were; the
    // matrix still gets its reload.
    void importFailures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("warned");
        QTest::newRow("missing") << "missing.kolm" << true;
        QTest::newRow("a directory") << "." << true;
        QTest::newRow("unreadable") << "unreadable" << true;
        QTest::newRow("binary") << dataPath("binary.kolm") << false;
        QTest::newRow("no line breaks or rules") << dataPath("noise.kolm") << false;
        QTest::newRow("50 MB without a rule") << "big" << false;
    }
    void importFailures()
    {
        QFETCH(QString, file);
        QFETCH(bool, warned);
        if (file == QLatin1String("unreadable") && geteuid() == 0)
            QSKIP("root reads every file");
        TempWorkDir dir;
        QString path = file.startsWith(QLatin1Char('/')) ? file : dir.filePath(file);
        if (file == QLatin1String("unreadable")) {
            path = dir.write(file, LINE_A.toLatin1());
            QFile::setPermissions(path, QFileDevice::WriteOwner);
        } else if (file == QLatin1String("big")) {
            // One line with the fields of a rule whose patterns do not read,
            // and a second of 50 MB without any field separator.
            QByteArray bytes = "R~true~true~&&[ " + QByteArray(25 * 1024 * 1024, 'x') + "\n";
            bytes += QByteArray(25 * 1024 * 1024, 'y');
            path = dir.write(file, bytes);
        }

        Window w;
        fillStore(w.store());
        const QStringList before = lines(w.store()->rules);
        const QStringList glyphsBefore = glyphNames(w.store());
        RuleWindow rules(w.control());
        DebugCapture debug;
        debug.setForward(false);
        Boxes boxes;
        FileAnswers answers({path});
        QElapsedTimer timer;
        timer.start();
        rules.editor->loadRules();
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(lines(w.store()->rules), before);
        QCOMPARE(glyphNames(w.store()), glyphsBefore);
        QCOMPARE(boxes.shown(), warned ? QStringList{NOT_LOADED} : QStringList());
        QCOMPARE(rules.tableNames(), QStringList({"Old", ""}));
        QCOMPARE(w.reloads->count(), 1);
    }

    // An empty file is a rule set of no rules.
    void importEmpty()
    {
        ControlWidget control(nullptr);
        fillStore(control.glyphStore);
        RuleEditorWidget editor(nullptr, &control);
        TempWorkDir dir;
        QVERIFY(editor.readRulesFile(dir.write(QStringLiteral("empty.kolm"), QByteArray())));
        QVERIFY(control.glyphStore->rules.isEmpty());
        QCOMPARE(glyphNames(control.glyphStore), QStringList({"WildCard", "DeleteItem", "Gray"}));
    }

    // Rules drawn in the editor read back the same after an export and an
    // import; names outside Latin-1 are written as the conversion gives them.
    void editorRulesRoundTrip()
    {
        ControlWidget control(nullptr);
        RuleWindow rules(&control);
        const QStringList patterns = {
            "seq(A,B)", "seq(star(A),or(B,C))", "seq(rep2..5(A),not(B))", "seq(A{B,C},D)",
        };
        for (int i = 0; i < patterns.size(); ++i) {
            rules.draw(trees::tree(patterns[i]), trees::tree("seq(X)"));
            QTest::keyClicks(rules.editor->nameEdit, QStringLiteral("rule %1").arg(i));
            QTest::mouseClick(rules.editor->saveButton, Qt::LeftButton);
        }
        // A condition and a quantifier on a glyph, and a name outside Latin-1.
        rules.editor->preEditor->map->setRoot(kinds(QStringLiteral("ab")));
        rules.editor->preEditor->map->root->children.first()->glyph.quantifier = 2;
        rules.editor->postEditor->map->setRoot(rewrite(QStringLiteral("Z")));
        rules.editor->nameEdit->setText(QStringLiteral("\u540d"));
        rules.editor->addRule();
        QCOMPARE(control.glyphStore->rules.size(), 5);

        const QStringList written = lines(control.glyphStore->rules);
        TempWorkDir dir;
        const QString path = dir.filePath(QStringLiteral("rules.kolm"));
        Boxes boxes;
        QVERIFY(rules.editor->writeRulesFile(path));
        QVERIFY(readAll(path).endsWith("?~true~true~&&[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == a,0,0,0,2 ]"
                                       "[ WildCard,,(222;226;230),(0;0;0),(0;0;0),kind == b,0,0,0 ] --> "
                                       "&&[ Z,z,(255;0;0),(0;0;0),(0;0;0),true,0,0,1 ]"));
        control.glyphStore->rules.clear();
        QVERIFY(rules.editor->readRulesFile(path));
        QStringList expected = written;
        expected.last().replace(QStringLiteral("\u540d"), QStringLiteral("?"));
        QCOMPARE(lines(control.glyphStore->rules), expected);
    }
};

LUMIVANE_TEST(RuleFilesTest)
#include "RuleFilesTest.moc"
