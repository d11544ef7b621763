#include "DebugCapture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "import/ConversationPreprocessor.h"
#include "import/ConversationSplitter.h"
#include "model/GlyphStore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

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

const QByteArray kHeader = "frame.number,sip.Call-ID,info,sip.Method";

// The lines of each conversation of calls.csv.
QByteArray conversation(const QString& key)
{
    if (key == "call-a")
        return "1,call-a,\"ring, ring\",INVITE\n3,call-a,ok,200\n6,call-a,na\xc3\xafve,BYE";
    if (key == "call-b")
        return "2,call-b,reg,REGISTER\n5,call-b,ok,200";
    if (key == "call-c")
        return "4,call-c,caf\xe9 latin1,INVITE\n7,call-c,x,CANCEL";
    return QByteArray();
}

// calls.csv split into conversation files, a controller with a loaded log
// of other columns, and the output path.
struct Run
{
    QTemporaryDir temp;
    QString dir;
    QString out;
    ControlWidget control{nullptr};

    Run()
        : dir(temp.filePath("convs"))
        , out(temp.filePath("out.csv"))
    {
        QDir().mkpath(dir);
        control.glyphStore->setAttributes(TList<QString>({"frame.time_epoch", "ip.src", "ip.dst"}),
                                          TList<int>({1, 3, 3}));
    }
    bool split()
    {
        ConversationSplitter splitter(fixture("calls.csv"), dir);
        return splitter.run();
    }
    TList<Rule> rules(const QString& file)
    {
        return control.loadRules(QString::fromLatin1(readAll(fixture(file))));
    }
    // The expected output: the header, then the passing conversations in
    // the order the directory walk meets them.
    QByteArray expected(const QStringList& passing) const
    {
        QList<QByteArray> parts;
        QDirIterator it(dir, {"*.conv"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString key = QFileInfo(path).completeBaseName();
            if (passing.contains(key))
                parts << conversation(key);
        }
        QByteArray all = kHeader + "\n";
        for (int i = 0; i < parts.size(); ++i)
            all += (i ? "\n" : "") + parts.at(i);
        return all;
    }
};

QStringList ruleNames(const TList<Rule>& rules)
{
    QStringList names;
    for (const Rule& r : rules)
        names << r.name;
    return names;
}

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
    void unwritableOutput();
    void missingAttributes();
    void oddKeysAndEmptyFiles();
    void progressLines();
};

void ConversationPreprocessorTest::rulesDecide_data()
{
    QTest::addColumn<QString>("rewrite");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("passing");

    const QStringList all{"call-a", "call-b", "call-c"};
    QTest::newRow("no filter rules") << "empty.kolm" << "empty.kolm" << all;
    QTest::newRow("rewrite rules alone decide nothing") << "rewrite-invite.kolm" << "empty.kolm" << all;
    QTest::newRow("hidden filter rule") << "rewrite-invite.kolm" << "filter-hidden.kolm" << QStringList{};
    QTest::newRow("filter without its rewrite") << "empty.kolm" << "filter-invite.kolm" << QStringList{};
    QTest::newRow("rewrite decides the filter")
        << "rewrite-invite.kolm" << "filter-invite.kolm" << QStringList{"call-a", "call-c"};
    // Both filter rules must match; the rules file has CRLF line ends.
    QTest::newRow("two filters, CRLF") << "rewrite-invite.kolm" << "filter-crlf.kolm"
                                       << QStringList{"call-a"};
    // A Latin-1 rule name, a blank, a short and an unreadable line.
    QTest::newRow("latin-1 rules file")
        << "rewrite-latin1.kolm" << "filter-invite.kolm" << QStringList{"call-a", "call-c"};
}

void ConversationPreprocessorTest::rulesDecide()
{
    QFETCH(QString, rewrite);
    QFETCH(QString, filter);
    QFETCH(QStringList, passing);

    Run r;
    QVERIFY(r.split());
    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, r.rules(rewrite), r.rules(filter), r.out, &r.control);
    p.run();
    QVERIFY2(p.errorText.isEmpty(), qPrintable(p.errorText));
    // Written lines are the conversation files' bytes, unchanged.
    QCOMPARE(readAll(r.out), r.expected(passing));
    QCOMPARE(p.processed, 3);
    QCOMPARE(p.matched, passing.size());
    QVERIFY(debug.contains(QString("Reduction 3 to %1").arg(passing.size())));
}

void ConversationPreprocessorTest::emptyDirectory()
{
    Run r;
    QFile conf(r.dir + "/attributes.conf");
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("a,b\n");
    conf.close();
    QDir().mkpath(r.dir + "/sub/folder");
    QFile other(r.dir + "/notes.txt");
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();

    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, {}, r.rules("filter-invite.kolm"), r.out, &r.control);
    p.run();
    QCOMPARE(readAll(r.out), QByteArray("a,b\n"));
    QVERIFY(debug.contains("Reduction 0 to 0"));
    QVERIFY(p.errorText.isEmpty());
}

// The views still show the loaded log: its attribute tables are the same
// after the run; the rewrite rules stay in the store.
void ConversationPreprocessorTest::storeComesBack()
{
    Run r;
    QVERIFY(r.split());
    GlyphStore* store = r.control.glyphStore;
    store->rules = r.rules("filter-invite.kolm");
    const TList<QString> names = store->packetAttributeNames;
    const QList<QPair<QString, int>> columns = [&]() {
        QList<QPair<QString, int>> out;
        for (auto it = store->attributeColumns.begin(); it != store->attributeColumns.end(); ++it)
            out << qMakePair(it.key(), it.value());
        std::sort(out.begin(), out.end());
        return out;
    }();

    DebugCapture debug;
    debug.setForward(false);
    const TList<Rule> rewrite = r.rules("rewrite-invite.kolm");
    ConversationPreprocessor p(r.dir, rewrite, r.rules("filter-invite.kolm"), r.out, &r.control);
    p.run();
    QCOMPARE(p.matched, 2);

    QCOMPARE(store, r.control.glyphStore);
    QCOMPARE(store->packetAttributeNames.items, names.items);
    QList<QPair<QString, int>> after;
    for (auto it = store->attributeColumns.begin(); it != store->attributeColumns.end(); ++it)
        after << qMakePair(it.key(), it.value());
    std::sort(after.begin(), after.end());
    QCOMPARE(after, columns);
    QCOMPARE(ruleNames(store->rules), ruleNames(rewrite));
    QCOMPARE(Rule::toString(store->rules.first()), Rule::toString(rewrite.first()));
}

void ConversationPreprocessorTest::unreadableConversation()
{
    Run r;
    QVERIFY(r.split());
    const QString locked = r.dir + "/cal/l-b/call-b.conv";
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    // Root reads every file: the run is made as an ordinary user then.
    const bool root = geteuid() == 0;
    if (root) {
        for (const QString& d : {r.temp.path(), r.dir, r.dir + "/cal", r.dir + "/cal/l-a",
                                 r.dir + "/cal/l-b", r.dir + "/cal/l-c"})
            QFile::setPermissions(d, QFileDevice::Permissions(0x7755));
    }
    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, {}, {}, r.out, &r.control);
    if (root && seteuid(65534) != 0)
        QSKIP("cannot run as an ordinary user");
    p.run();
    if (root)
        QCOMPARE(seteuid(0), 0);

    QCOMPARE(readAll(r.out), r.expected({"call-a", "call-c"}));
    QCOMPARE(p.processed, 2);
    QCOMPARE(p.unreadable, 1);
    QVERIFY(debug.contains("Reduction 2 to 2"));
    QCOMPARE(debug.lines().filter(QRegularExpression("^could not open file .*call-b\\.conv ")).size(), 1);
    QVERIFY2(p.errorText.startsWith("1 conversation files could not be read (" + locked),
             qPrintable(p.errorText));
}

void ConversationPreprocessorTest::unwritableOutput()
{
    Run r;
    QVERIFY(r.split());
    const QString out = r.temp.filePath("missing/out.csv");
    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, {}, {}, out, &r.control);
    QCOMPARE(debug.lines().filter(QRegularExpression("^Not allowed to write file ")).size(), 1);
    p.run();
    QVERIFY(!QFile::exists(out));
    QVERIFY(debug.contains("Reduction 3 to 3"));
    QVERIFY2(p.errorText.startsWith("could not write " + out), qPrintable(p.errorText));
}

void ConversationPreprocessorTest::missingAttributes()
{
    Run r;
    QVERIFY(r.split());
    QVERIFY(QFile::remove(r.dir + "/attributes.conf"));
    GlyphStore* store = r.control.glyphStore;
    store->rules = r.rules("filter-invite.kolm");
    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, r.rules("rewrite-invite.kolm"), {}, r.out, &r.control);
    p.run();
    QCOMPARE(readAll(r.out), QByteArray());
    QCOMPARE(debug.lines().filter(QRegularExpression("^could not load attributes ")).size(), 1);
    QVERIFY(!debug.lines().join('\n').contains("Reduction"));
    // Nothing else happened.
    QCOMPARE(ruleNames(store->rules), QStringList{"has invite"});
    QCOMPARE(store->packetAttributeNames.size(), 3);
    QVERIFY(p.errorText.startsWith("could not read "));
}

// Keys starting with ".", the empty key and ".." all live in D; an empty
// conversation file passes with nothing to write.
void ConversationPreprocessorTest::oddKeysAndEmptyFiles()
{
    Run r;
    QFile log(r.temp.filePath("odd.csv"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("n,sip.Call-ID\n1,.hidden\n2,\n3,..\n4,.hidden\n");
    log.close();
    ConversationSplitter splitter(log.fileName(), r.dir);
    QVERIFY(splitter.run());
    QFile empty(r.dir + "/emp/ty.conv");
    QDir().mkpath(r.dir + "/emp");
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();

    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, {}, {}, r.out, &r.control);
    p.run();
    QCOMPARE(p.processed, 4);
    QCOMPARE(p.matched, 4);
    const QByteArray out = readAll(r.out);
    QVERIFY(out.startsWith("n,sip.Call-ID\n"));
    QStringList lines = QString::fromUtf8(out).split('\n').mid(1);
    lines.sort();
    QCOMPARE(lines, (QStringList{"1,.hidden", "2,", "3,..", "4,.hidden"}));
    QVERIFY(out.contains("1,.hidden\n4,.hidden"));
}

void ConversationPreprocessorTest::progressLines()
{
    Run r;
    QByteArray log = "n,sip.Call-ID\n";
    for (int i = 0; i < 501; ++i)
        log += QByteArray::number(i) + ",k" + QByteArray::number(i) + "\n";
    QFile file(r.temp.filePath("many.csv"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(log);
    file.close();
    ConversationSplitter splitter(file.fileName(), r.dir);
    QVERIFY(splitter.run());

    DebugCapture debug;
    debug.setForward(false);
    ConversationPreprocessor p(r.dir, {}, {}, r.out, &r.control);
    p.run();
    QCOMPARE(debug.lines().filter(QRegularExpression("^processed ")),
             (QStringList{"processed 0", "processed 500"}));
    QCOMPARE(debug.lines().filter(QRegularExpression("^matched ")), QStringList{"matched 500"});
    QVERIFY(debug.contains("Reduction 501 to 501"));
    QCOMPARE(readAll(r.out).count('\n'), 501);
}

LUMIVANE_TEST(ConversationPreprocessorTest)
#include "ConversationPreprocessorTest.moc"
