#include "DebugCapture.h"
#include "FileSizeLimit.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "import/ConversationPreprocessor.h"
#include "import/ConversationSplitter.h"
#include "model/GlyphStore.h"

#include <QDir>
#include <QDirIterator>
#include <QtTest>

#include <unistd.h>

namespace {

QString fixture(const QString& name)
{
    return testDataPath("import/preprocess/" + name);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

// The lines of each conversation of calls.csv.
const QHash<QString, QByteArray> kCalls{
    {"call-a", "1,call-a,\"ring, ring\",INVITE\n3,call-a,ok,200\n6,call-a,na\xc3\xafve,BYE"},
    {"call-b", "2,call-b,reg,REGISTER\n5,call-b,ok,200"},
    {"call-c", "4,call-c,caf\xe9 latin1,INVITE\n7,call-c,x,CANCEL"}};

QStringList ruleNames(const TList<Rule>& rules)
{
    QStringList names;
    for (const Rule& r : rules)
        names << r.name;
    return names;
}

QStringList columnsOf(const GlyphStore* store)
{
    QStringList out;
    for (auto it = store->attributeColumns.begin(); it != store->attributeColumns.end(); ++it)
        out << it.key() + '=' + QString::number(it.value());
    out.sort();
    return out;
}

// calls.csv split into conversation files, and a controller whose loaded
// log has other columns.
struct Run
{
    // A run made as an ordinary user needs a folder that user can reach:
    // the test's own temporary folder may lie below one only its owner
    // may enter (a clone in a private folder), the system's one does not.
    static QString folderTemplate(bool ordinaryUser)
    {
        return (ordinaryUser ? QStringLiteral("/tmp") : QDir::tempPath()) + QStringLiteral("/lumivane-convs-XXXXXX");
    }

    QTemporaryDir temp;
    QString dir = temp.filePath("convs");
    QString out = temp.filePath("out.csv");
    ControlWidget control{nullptr};
    DebugCapture debug;

    explicit Run(bool split = true, bool ordinaryUser = false)
        : temp(folderTemplate(ordinaryUser))
    {
        debug.setForward(false);
        QDir().mkpath(dir);
        control.glyphStore->setAttributes(TList<QString>({"frame.time_epoch", "ip.src", "ip.dst"}),
                                          TList<int>({1, 3, 3}));
        if (split)
            ConversationSplitter(fixture("calls.csv"), dir).run();
    }
    TList<Rule> rules(const QString& file)
    {
        return control.loadRules(QString::fromLatin1(readAll(fixture(file))));
    }
    // The header, then the passing conversations in the order of the walk.
    QByteArray expected(const QStringList& passing) const
    {
        QByteArrayList parts;
        QDirIterator it(dir, {"*.conv"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString key = QFileInfo(it.next()).completeBaseName();
            if (passing.contains(key))
                parts << kCalls.value(key);
        }
        return "frame.number,sip.Call-ID,info,sip.Method\n" + parts.join('\n');
    }
};

} // namespace

class ConversationPreprocessorTest : public QObject
{
    Q_OBJECT

private slots:
    void rulesDecide_data();
    void rulesDecide();
    void emptyDirectory();
    void storeComesBack();
    void unreadableConversation();
    void failures_data();
    void failures();
    void fullDisk_data();
    void fullDisk();
    void oddKeysAndEmptyFiles();
    void semicolonFolder();
};

void ConversationPreprocessorTest::rulesDecide_data()
{
    QTest::addColumn<QString>("rewrite");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("passing");

    const QStringList all{"call-a", "call-b", "call-c"};
    QTest::newRow("no filter rules") << "rewrite-invite.kolm" << "empty.kolm" << all;
    QTest::newRow("hidden filter rule") << "rewrite-invite.kolm" << "filter-hidden.kolm" << QStringList{};
    QTest::newRow("filter without its rewrite") << "empty.kolm" << "filter-invite.kolm" << QStringList{};
    QTest::newRow("rewrite decides the filter")
        << "rewrite-invite.kolm" << "filter-invite.kolm" << QStringList{"call-a", "call-c"};
    // Both filter rules must match; the rules file has CRLF line ends.
    QTest::newRow("two filters, CRLF") << "rewrite-invite.kolm" << "filter-crlf.kolm" << QStringList{"call-a"};
    // A Latin-1 rule name, a blank, a short and an unreadable line.
    // The filter rule "Create rule.." makes: its rewrite is empty.
    QTest::newRow("filter rule with an empty rewrite")
        << "empty.kolm" << "filter-empty-rewrite.kolm" << QStringList{"call-a"};
    QTest::newRow("latin-1 rules file")
        << "rewrite-latin1.kolm" << "filter-invite.kolm" << QStringList{"call-a", "call-c"};
}

void ConversationPreprocessorTest::rulesDecide()
{
    QFETCH(QString, rewrite);
    QFETCH(QString, filter);
    QFETCH(QStringList, passing);

    Run r;
    ConversationPreprocessor p(r.dir, r.rules(rewrite), r.rules(filter), r.out, &r.control);
    p.run();
    QVERIFY2(p.errorText.isEmpty(), qPrintable(p.errorText));
    // The written lines are the conversation files' bytes.
    QCOMPARE(readAll(r.out), r.expected(passing));
    QVERIFY(r.debug.contains(QString("Reduction 3 to %1").arg(passing.size())));
    // Progress after every file: "processed" before the file is counted,
    // "matched" whenever the count of passing files is a multiple of 500.
    QCOMPARE(r.debug.count("processed 0"), 1);
    if (passing.isEmpty())
        QCOMPARE(r.debug.count("matched 0"), 3);
    else if (passing.size() == 3)
        QCOMPARE(r.debug.count("matched 0"), 0);
}

void ConversationPreprocessorTest::emptyDirectory()
{
    Run r(false);
    write(r.dir + "/attributes.conf", "a,b\n");
    write(r.dir + "/sub/notes.txt", "1,2");
    ConversationPreprocessor p(r.dir, {}, r.rules("filter-invite.kolm"), r.out, &r.control);
    p.run();
    QCOMPARE(readAll(r.out), QByteArray("a,b\n"));
    QVERIFY(r.debug.contains("Reduction 0 to 0"));
}

// The views still show the loaded log: its attribute tables are the same
// after the run; the rewrite rules stay in the store.
void ConversationPreprocessorTest::storeComesBack()
{
    Run r;
    GlyphStore* store = r.control.glyphStore;
    store->rules = r.rules("filter-invite.kolm");
    const std::vector<QString> names = store->packetAttributeNames.items;
    const QStringList columns = columnsOf(store);
    const TList<Rule> rewrite = r.rules("rewrite-invite.kolm");
    ConversationPreprocessor p(r.dir, rewrite, r.rules("filter-invite.kolm"), r.out, &r.control);
    p.run();
    QCOMPARE(p.matched, 2);
    QVERIFY(store->packetAttributeNames.items == names);
    QCOMPARE(columnsOf(store), columns);
    QCOMPARE(ruleNames(store->rules), ruleNames(rewrite));
    QCOMPARE(Rule::toString(store->rules.first()), Rule::toString(rewrite.first()));
}

void ConversationPreprocessorTest::unreadableConversation()
{
    // Root reads every file: the run is made as an ordinary user then.
    const bool root = geteuid() == 0;
    Run r(true, root);
    const QString locked = r.dir + "/cal/l-b/call-b.conv";
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    for (const QString& d : {r.temp.path(), r.dir, r.dir + "/cal", r.dir + "/cal/l-a",
                             r.dir + "/cal/l-b", r.dir + "/cal/l-c"})
        QFile::setPermissions(d, QFileDevice::Permissions(0x7755));
    // The output is written beside the old one: its folder takes new files.
    QFile::setPermissions(r.temp.path(), QFileDevice::Permissions(0x7777));
    ConversationPreprocessor p(r.dir, {}, {}, r.out, &r.control);
    // The output the ordinary user replaces.
    write(r.out, "earlier run");
    QFile::setPermissions(r.out, QFileDevice::Permissions(0x6666));
    if (root && seteuid(65534) != 0)
        QSKIP("cannot run as an ordinary user");
    p.run();
    if (root)
        QCOMPARE(seteuid(0), 0);

    QCOMPARE(readAll(r.out), r.expected({"call-a", "call-c"}));
    QVERIFY(r.debug.contains("Reduction 2 to 2"));
    QCOMPARE(r.debug.lines().filter(QRegularExpression("^could not open file .*call-b\\.conv ")).size(), 1);
    QVERIFY2(p.errorText.startsWith("1 conversation files could not be read (" + locked),
             qPrintable(p.errorText));
}

void ConversationPreprocessorTest::failures_data()
{
    QTest::addColumn<bool>("outputWritable");
    QTest::addColumn<QString>("debugLine");
    QTest::addColumn<QString>("error");

    // The run goes on and writes nothing.
    QTest::newRow("output not writable") << false << "^Not allowed to write file " << "could not write ";
    // Nothing happens at all: the store keeps its attributes and rules, and
    // the output the user agreed to replace keeps what it held.
    QTest::newRow("attributes.conf missing") << true << "^could not load attributes " << "could not read ";
    QTest::newRow("no such folder") << true << "" << "no folder ";
}

void ConversationPreprocessorTest::failures()
{
    QFETCH(bool, outputWritable);
    QFETCH(QString, debugLine);
    QFETCH(QString, error);

    Run r;
    if (QString(QTest::currentDataTag()) == "no such folder")
        r.dir += "/gone";
    else if (outputWritable)
        QVERIFY(QFile::remove(r.dir + "/attributes.conf"));
    else
        r.out = r.temp.filePath("missing/out.csv");
    if (outputWritable)
        write(r.out, "earlier run");
    r.control.glyphStore->rules = r.rules("filter-invite.kolm");
    ConversationPreprocessor p(r.dir, r.rules("rewrite-invite.kolm"), {}, r.out, &r.control);
    p.run();
    if (!debugLine.isEmpty())
        QCOMPARE(r.debug.lines().filter(QRegularExpression(debugLine)).size(), 1);
    QCOMPARE(readAll(r.out), outputWritable ? QByteArray("earlier run") : QByteArray("<missing>"));
    QCOMPARE(r.debug.contains("Reduction 3 to 3"), !outputWritable);
    QCOMPARE(ruleNames(r.control.glyphStore->rules), QStringList{outputWritable ? "has invite" : "inv"});
    QCOMPARE(r.control.glyphStore->packetAttributeNames.size(), 3);
    QVERIFY2(p.errorText.startsWith(error), qPrintable(p.errorText));
}

void ConversationPreprocessorTest::fullDisk_data()
{
    QTest::addColumn<bool>("old");
    QTest::newRow("over an earlier run") << true;
    QTest::newRow("new file") << false;
}

// On a full disk the output it was to replace stays byte for byte, and a
// new one is not left behind; the run says why.
void ConversationPreprocessorTest::fullDisk()
{
    QFETCH(bool, old);
    Run r;
    if (old)
        write(r.out, "earlier run");
    const QMap<QString, QByteArray> before = filesIn(r.temp.path());
    ConversationPreprocessor p(r.dir, {}, {}, r.out, &r.control);
    {
        // The header line fits, the conversations do not.
        FileSizeLimit full(64);
        QVERIFY(full.active());
        QVERIFY(!p.run());
    }
    QCOMPARE(p.matched, 3);
    QCOMPARE(p.errorText, "writing " + r.out + " failed: " + qt_error_string(EFBIG));
    QCOMPARE(filesIn(r.temp.path()), before);
}

// Keys starting with ".", the empty key and ".." all live in D; an empty
// conversation file passes with nothing to write.
void ConversationPreprocessorTest::oddKeysAndEmptyFiles()
{
    Run r(false);
    const QString log = write(r.temp.filePath("odd.csv"), "n,sip.Call-ID\n1,.hidden\n2,\n3,..\n4,.hidden\n");
    QVERIFY(ConversationSplitter(log, r.dir).run());
    write(r.dir + "/emp/ty.conv", "");
    ConversationPreprocessor p(r.dir, {}, {}, r.out, &r.control);
    p.run();
    QCOMPARE(p.processed, 4);
    const QByteArray out = readAll(r.out);
    QVERIFY(out.startsWith("n,sip.Call-ID\n"));
    QVERIFY(out.contains("1,.hidden\n4,.hidden"));
    QStringList lines = QString::fromUtf8(out).split('\n').mid(1);
    lines.sort();
    QCOMPARE(lines, (QStringList{"1,.hidden", "2,", "3,..", "4,.hidden"}));
}

// A folder split from a log separated by semicolons is read at them: the
// rules see its columns, and the lines are written as they are.
void ConversationPreprocessorTest::semicolonFolder()
{
    Run r(false);
    QVERIFY(ConversationSplitter(fixture("calls_semicolon.csv"), r.dir).run());
    ConversationPreprocessor p(r.dir, r.rules("rewrite-invite.kolm"), r.rules("filter-invite.kolm"), r.out,
                               &r.control);
    p.run();
    QVERIFY2(p.errorText.isEmpty(), qPrintable(p.errorText));
    QByteArray expected = r.expected({"call-a", "call-c"});
    for (char& c : expected)
        c = c == ',' ? ';' : c == ';' ? ',' : c;
    QCOMPARE(readAll(r.out), expected);
}

LUMIVANE_TEST(ConversationPreprocessorTest)
#include "ConversationPreprocessorTest.moc"
