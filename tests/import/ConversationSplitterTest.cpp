#include "DebugCapture.h"
#include "ImportFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "import/ConversationSplitter.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QProgressDialog>
#include <QRandomGenerator>
#include <QSet>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

// Every file below `dir` (hidden ones too), relative and sorted.
QStringList filesUnder(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// Every file below `dir` (hidden ones too) with its bytes, and every folder
// (as "name/").
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(dir).relativeFilePath(path);
        if (it.fileInfo().isSymLink())
            out.insert(relative, "-> " + QFile::encodeName(it.fileInfo().symLinkTarget()));
        else if (it.fileInfo().isDir())
            out.insert(relative + '/', QByteArray());
        else
            out.insert(relative, readAll(path));
    }
    return out;
}

QString fixture(const QString& name)
{
    return testDataPath(QStringLiteral("import/conversations/") + name);
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System
                                                            | QDir::NoDotAndDotDot).size();
}

// Splits `input` into a fresh "out" folder of a temporary directory.
struct Split
{
    QTemporaryDir temp;
    QString out;
    bool complete = false;
    std::unique_ptr<ConversationSplitter> splitter;

    Split() : out(temp.filePath(QStringLiteral("out"))) { QDir().mkpath(out); }
    bool run(const QString& input)
    {
        splitter.reset(new ConversationSplitter(input, out));
        complete = splitter->run();
        return complete;
    }
    QByteArray file(const QString& relative) const { return readAll(out + '/' + relative); }
    QString write(const QString& name, const QByteArray& bytes) const
    {
        const QString path = temp.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
        return path;
    }
};

// Run on the split's thread as it reports its 10000th line: `meanwhile`
// changes the folder as another program would; then the split waits until
// the window's thread has clicked "Cancel" in the export's progress dialog.
std::function<void()> meanwhile;
std::atomic<bool> tenThousand{false};
std::atomic<bool> cancelClicked{false};

void cancelAtTenThousand(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (text != QLatin1String("exported 10000") || !meanwhile)
        return;
    meanwhile();
    tenThousand.store(true);
    const QDeadlineTimer deadline(30000);
    while (!cancelClicked.load() && !deadline.hasExpired())
        QThread::msleep(1);
}

} // namespace

class ConversationSplitterTest : public QObject
{
    Q_OBJECT

private slots:
    void keysGoToTheirFolders();
    void keyPaths_data();
    void keyPaths();
    void longKeysAreShortened();
    void keysApartByBytes();
    void manyKeysNeverShareAFile();
    void namesLikeShortenedOnes();
    void splittingTwice();
    void fieldCounts();
    void progressLines();
    void noCallId();
    void nulInHeader();
    void quotedComma();
    void bytesStayAsTheyAre();
    void markAndLineEnds();
    void utf16Log();
    void unreadableInput();
    void refusedSplitLeavesTheFolder_data();
    void refusedSplitLeavesTheFolder();
    void failedSplitLeavesTheFolder_data();
    void failedSplitLeavesTheFolder();
    void matchesReference();
    void unwritableFolder();
    void capFor_data();
    void capFor();
    void capClosesFiles();
    void descriptorShortage();
    void exportButton_data();
    void exportButton();
    void cancelledExport();
    void cancelLeavingSomething_data();
    void cancelLeavingSomething();
    void exportLeftByAnException();
    void emptyKeyOnAFullDisk_data();
    void emptyKeyOnAFullDisk();
};

void ConversationSplitterTest::keysGoToTheirFolders()
{
    Split s;
    QVERIFY(s.run(fixture("keys.csv")));
    QCOMPARE(filesUnder(s.out), (QStringList{"ab/ab.conv", "abc/abc.conv", "abc/def/abcdefgh.conv",
                                             "attributes.conf"}));
    QCOMPARE(s.file("attributes.conf"), QByteArray("frame.number,sip.Call-ID,info"));
    QCOMPARE(s.file("abc/def/abcdefgh.conv"), QByteArray("1,abcdefgh,first\n4,abcdefgh,fourth"));
    QCOMPARE(s.file("ab/ab.conv"), QByteArray("2,ab,second"));
    // "a:b/c" loses its colon and slash.
    QCOMPARE(s.file("abc/abc.conv"), QByteArray("3,a:b/c,third"));
    QCOMPARE(s.splitter->linesWritten, 4);
    QCOMPARE(s.splitter->invalidLines, 0);
    QVERIFY(s.splitter->errorText.isEmpty());
}

void ConversationSplitterTest::keyPaths_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("path");

    QTest::newRow("..") << QByteArray("..") << "__/...conv";
    QTest::newRow(".") << QByteArray(".") << "_/..conv";
    QTest::newRow("empty") << QByteArray("") << ".conv";
    QTest::newRow(".hidden") << QByteArray(".hidden") << ".hi/dde/.hidden.conv";
    QTest::newRow("second part ..") << QByteArray("abc..") << "abc/__/abc...conv";
    QTest::newRow("three dots stay") << QByteArray("...x") << ".../x/...x.conv";
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << "ab/ab.conv";
    QTest::newRow("nine characters") << QByteArray("x\\/:*?<>|y") << "xy/xy.conv";
    QTest::newRow("climbing") << QByteArray("../../etc") << ".../.et/....etc.conv";
    // Bytes that start no UTF-8 character are named by their hex code; the
    // folders are those of the key's text.
    QTest::newRow("invalid byte") << QByteArray("\xFF") << QString::fromUtf8("\uFFFD/%FF.conv");
    QTest::newRow("cut character") << QByteArray("ab\xC3") << QString::fromUtf8("ab\uFFFD/ab%C3.conv");
    QTest::newRow("two invalid bytes") << QByteArray("\xFEx\xFFyz")
                                       << QString::fromUtf8("\uFFFDx\uFFFD/yz/%FEx%FFyz.conv");
    QTest::newRow("invalid with percent") << QByteArray("ab%FFc\xFF")
                                          << QString::fromUtf8("ab%/FFc/ab%25FFc%FF.conv");
    // A valid key keeps its name, percent signs and all, but for a '%' that
    // would read as an escaped byte.
    QTest::newRow("valid with percent") << QByteArray("a%FF") << "a%F/F/a%25FF.conv";
    QTest::newRow("percent before percent") << QByteArray("%%41") << "%%4/1/%%2541.conv";
    QTest::newRow("percent, lower-case digits") << QByteArray("a%ff") << "a%f/f/a%ff.conv";
    QTest::newRow("percent, one digit") << QByteArray("ab%F") << "ab%/F/ab%F.conv";
    QTest::newRow("percent at the end") << QByteArray("abc%") << "abc/%/abc%.conv";
    QTest::newRow("hash-like tail") << QByteArray("call-da39a3ee5e6b4b0d3255bfef95601890afd80709")
                                    << "cal/l-d/call-da39a3ee5e6b4b0d3255bfef95601890afd80709.conv";
    // A character outside the Basic Multilingual Plane is one character of
    // a folder name, never cut in half.
    const QByteArray smile("\xF0\x9F\x98\x80");
    QTest::newRow("astral, second part")
        << "abcde" + smile << QString::fromUtf8("abc/de" + smile + "/abcde" + smile + ".conv");
    QTest::newRow("astral, first part")
        << "ab" + smile << QString::fromUtf8("ab" + smile + "/ab" + smile + ".conv");
    QTest::newRow("astral across the parts")
        << "ab" + smile + "cdef" << QString::fromUtf8("ab" + smile + "/cde/ab" + smile + "cdef.conv");
    QTest::newRow("replacement character") << QByteArray("\xEF\xBF\xBD")
                                           << QString::fromUtf8("\uFFFD/\uFFFD.conv");
    // A leading byte-order mark is named by its bytes and is a character
    // (U+FEFF) in the folders.
    QTest::newRow("mark, percent, invalid byte")
        << QByteArray("\xEF\xBB\xBF" "a%\xFF")
        << QChar(0xFEFF) + QString::fromUtf8("a%/\uFFFD/%EF%BB%BFa%25%FF.conv");
}

void ConversationSplitterTest::keyPaths()
{
    QFETCH(QByteArray, key);
    QFETCH(QString, path);

    Split s;
    const QByteArray line = "1," + key + ",v";
    const QString log = s.write("log.csv", "n,sip.Call-ID,x\n" + line + "\n");
    QVERIFY(s.run(log));
    QStringList expected{path, "attributes.conf"};
    expected.sort();
    QCOMPARE(filesUnder(s.out), expected);
    QCOMPARE(s.file(path), line);
    // Nothing beside D and the log in their parent.
    QStringList outside;
    for (const QString& f : filesUnder(s.temp.path()))
        if (!f.startsWith("out/"))
            outside << f;
    QCOMPARE(outside, QStringList{"log.csv"});
}

void ConversationSplitterTest::keysApartByBytes()
{
    // 0xFF and 0xFE both read as U+FFFD; every line lands in exactly one
    // file, that of its own key.
    Split s;
    QVERIFY(s.run(fixture("invalid_keys.csv")));
    const QString ff = QString::fromUtf8("\uFFFD/%FF.conv");
    const QString fe = QString::fromUtf8("\uFFFD/%FE.conv");
    const QString mixed = QString::fromUtf8("ab%/FFc/ab%25FFc%FF.conv");
    const QString valid = QString::fromUtf8("\u00E9t\u00E9/\u00E9t\u00E9.conv");
    QStringList expected{ff, fe, mixed, valid, "attributes.conf"};
    expected.sort();
    QCOMPARE(filesUnder(s.out), expected);
    QCOMPARE(s.file(ff), QByteArray("1,\xFF,first\n3,\xFF,third"));
    QCOMPARE(s.file(fe), QByteArray("2,\xFE,second"));
    QCOMPARE(s.file(mixed), QByteArray("4,ab%FFc\xFF,fourth"));
    QCOMPARE(s.file(valid), QByteArray("5,\xC3\xA9t\xC3\xA9,fifth"));
    QCOMPARE(s.splitter->linesWritten, 5);

    // A key and the same key behind a byte-order mark.
    Split marked;
    QVERIFY(marked.run(fixture("bom_keys.csv")));
    const QString withMark = QChar(0xFEFF) + QString("ab/c/%EF%BB%BFabc.conv");
    QCOMPARE(filesUnder(marked.out), (QStringList{"abc/abc.conv", "attributes.conf", withMark}));
    QCOMPARE(marked.file("abc/abc.conv"), QByteArray("2,abc"));
    QCOMPARE(marked.file(withMark), QByteArray("1,\xEF\xBB\xBF" "abc\n3,\xEF\xBB\xBF" "abc"));
}

void ConversationSplitterTest::manyKeysNeverShareAFile()
{
    // Keys that read alike, every key of up to three of the characters and
    // bytes that names escape (alone and behind six characters, past the
    // folders), and longer ones at random: every file holds the lines of
    // one key, and every key has a file.
    QList<QByteArray> keys{"%EF%BB%BFabc", "\xEF\xBB\xBF" "abc", "abcdef%25%FF", "abcdef%\xFF",
                           "abcdef%C3", "abcdef\xC3", "abcdef%2D", "abcdef-",
                           "abcde\xF0\x9F\x98\x80", "ab\xF0\x9F\x98\x80", "ab\xF0\x9F\x98\x80" "cd"};
    QList<QByteArray> shortKeys{""};
    for (int i = 0; i < shortKeys.size() && shortKeys.at(i).size() < 3; ++i)
        for (char c : QByteArray("%F2Af\xFF"))
            shortKeys << shortKeys.at(i) + c;
    for (const QByteArray& key : shortKeys)
        keys << key << "abcdef" + key;
    const QByteArray many("%25AFDf-.\xFF\xEF\xBB\xBF\xC3\xA9\x80");
    QRandomGenerator random(20240611);
    for (int i = 0; i < 300; ++i) {
        QByteArray key = random.bounded(2) ? "abcdef" : "";
        for (int n = int(random.bounded(8)); n > 0; --n)
            key += many.at(int(random.bounded(many.size())));
        keys.append(key);
    }
    QByteArray log = "n,sip.Call-ID\n";
    for (int i = 0; i < keys.size(); ++i)
        log += QByteArray::number(i) + ',' + keys.at(i) + '\n';

    Split s;
    QVERIFY2(s.run(s.write("log.csv", log)), qPrintable(s.splitter->errorText));
    QSet<QByteArray> found;
    for (const QString& f : filesUnder(s.out)) {
        QSet<QByteArray> inFile;
        for (const QByteArray& line : s.file(f).split('\n'))
            inFile.insert(line.mid(line.indexOf(',') + 1));
        QVERIFY2(f == "attributes.conf" || (inFile.size() == 1 && !found.contains(*inFile.begin())),
                 qPrintable(f));
        if (f != "attributes.conf")
            found.unite(inFile);
    }
    QCOMPARE(found, QSet<QByteArray>(keys.begin(), keys.end()));
}

void ConversationSplitterTest::namesLikeShortenedOnes()
{
    // The key that reads as the shortened name of a long key.
    Split first;
    const QByteArray longKey(300, 'k');
    QVERIFY(first.run(first.write("log.csv", "n,sip.Call-ID\n1," + longKey + "\n")));
    const QStringList names = QDir(first.out + "/kkk/kkk").entryList(QDir::Files);
    QCOMPARE(names.size(), 1);
    const QByteArray lookalike = QFile::encodeName(names.first().chopped(5));
    const QByteArray shorter = lookalike.mid(2);   // its name fits with the dash escaped

    Split s;
    QVERIFY(s.run(s.write("log.csv", "n,sip.Call-ID\n1," + longKey + "\n2," + lookalike + "\n3,"
                                         + shorter + "\n")));
    QStringList files = QDir(s.out + "/kkk/kkk").entryList(QDir::Files);
    QCOMPARE(files.size(), 3);
    // The long key keeps its name.
    QCOMPARE(s.file("kkk/kkk/" + names.first()), "1," + longKey);
    QString escaped = QString::fromLatin1(shorter) + ".conv";
    escaped.replace(escaped.size() - 46, 1, "%2D");
    QCOMPARE(s.file("kkk/kkk/" + escaped), "3," + shorter);
    files.removeOne(names.first());
    files.removeOne(escaped);
    QCOMPARE(files.size(), 1);
    QVERIFY(QFile::encodeName(files.first()).size() <= 255);
    QCOMPARE(s.file("kkk/kkk/" + files.first()), "2," + lookalike);
}

void ConversationSplitterTest::nulInHeader()
{
    Split s;
    QVERIFY2(s.run(fixture("nul_header.csv")), qPrintable(s.splitter->errorText));
    QCOMPARE(s.file("attributes.conf"), QByteArray("n\0,sip.Call-ID", 14));
    QCOMPARE(filesUnder(s.out), (QStringList{"attributes.conf", "k1/k1.conv", "k2/k2.conv"}));
    QCOMPARE(s.file("k2/k2.conv"), QByteArray("y,k2"));
}

void ConversationSplitterTest::longKeysAreShortened()
{
    Split s;
    const QByteArray a(300, 'k');
    const QByteArray b = QByteArray(299, 'k') + "x";
    const QByteArray c = QString(200, QChar(0xE9)).toUtf8();   // two bytes a character
    const QString log = s.write("log.csv", "n,sip.Call-ID\n1," + a + "\n2," + b + "\n3," + c
                                               + "\n4," + a + "\n");
    QVERIFY2(s.run(log), qPrintable(s.splitter->errorText));

    const QStringList ks = QDir(s.out + "/kkk/kkk").entryList(QDir::Files);
    QCOMPARE(ks.size(), 2);   // the hash keeps the two apart
    QStringList contents;
    for (const QString& name : ks) {
        QVERIFY(QFile::encodeName(name).size() <= 255);
        QVERIFY(name.endsWith(".conv"));
        QVERIFY(name.startsWith(QString(100, 'k')));
        contents << QString::fromUtf8(readAll(s.out + "/kkk/kkk/" + name));
    }
    contents.sort();
    QCOMPARE(contents, (QStringList{"1," + a + "\n4," + a, "2," + b}));

    const QString e3(3, QChar(0xE9));
    const QStringList es = QDir(s.out + '/' + e3 + '/' + e3).entryList(QDir::Files);
    QCOMPARE(es.size(), 1);
    // Cut at a character boundary: the name decodes cleanly.
    QVERIFY(QFile::encodeName(es.first()).size() <= 255);
    QVERIFY(!es.first().contains(QChar(QChar::ReplacementCharacter)));
    QCOMPARE(readAll(s.out + '/' + e3 + '/' + e3 + '/' + es.first()), "3," + c);
}

void ConversationSplitterTest::splittingTwice()
{
    Split s;
    QDir().mkpath(s.out + "/sub");
    QFile notes(s.out + "/notes.txt");
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("keep");
    notes.close();
    QFile other(s.out + "/sub/other.conv");
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("keep too");
    other.close();
    QFile empty(s.out + "/.conv");
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.write("old empty key");
    empty.close();

    QVERIFY(s.run(fixture("keys.csv")));
    QVERIFY(s.run(fixture("keys.csv")));
    QCOMPARE(s.file("attributes.conf"), QByteArray("frame.number,sip.Call-ID,info"));
    QCOMPARE(s.file("abc/def/abcdefgh.conv"),
             QByteArray("1,abcdefgh,first\n4,abcdefgh,fourth\n1,abcdefgh,first\n4,abcdefgh,fourth"));
    QCOMPARE(s.file("ab/ab.conv"), QByteArray("2,ab,second\n2,ab,second"));
    QCOMPARE(s.file("notes.txt"), QByteArray("keep"));
    QCOMPARE(s.file("sub/other.conv"), QByteArray("keep too"));
    // The empty key's file belongs to the format: replaced (here: gone).
    QVERIFY(!QFile::exists(s.out + "/.conv"));
}

void ConversationSplitterTest::fieldCounts()
{
    Split s;
    QVERIFY(s.run(fixture("field_counts.csv")));
    QCOMPARE(filesUnder(s.out), (QStringList{"attributes.conf", "k1/k1.conv", "k2/k2.conv"}));
    QCOMPARE(s.file("k1/k1.conv"), QByteArray("1,k1,ok"));
    QCOMPARE(s.file("k2/k2.conv"), QByteArray("4,k2,ok"));
    QCOMPARE(s.splitter->invalidLines, 2);
    QCOMPARE(s.splitter->linesWritten, 2);
}

void ConversationSplitterTest::progressLines()
{
    Split s;
    QByteArray log = "n,sip.Call-ID\n";
    for (int i = 0; i < 11000; ++i)
        log += i % 11 == 10 ? "bad\n" : QByteArray::number(i) + ",k" + QByteArray::number(i % 3) + "\n";
    DebugCapture debug;
    debug.setForward(false);
    QVERIFY(s.run(s.write("log.csv", log)));
    QCOMPARE(s.splitter->linesWritten, 10000);
    QCOMPARE(s.splitter->invalidLines, 1000);
    QCOMPARE(debug.count("exported 10000"), 1);
    // "invalid" comes with each line written while the invalid count stands
    // at a multiple of 500: the ten good lines after the 500th bad one; the
    // 1000th bad line is the last line, with no good line after it.
    QCOMPARE(debug.count("invalid 500"), 10);
    QCOMPARE(debug.count("invalid 1000"), 0);
    QCOMPARE(s.file("k0/k0.conv").count('\n') + s.file("k1/k1.conv").count('\n')
                 + s.file("k2/k2.conv").count('\n'),
             10000 - 3);
}

void ConversationSplitterTest::noCallId()
{
    Split s;
    QVERIFY(!s.run(fixture("no_call_id.csv")));
    // Refused before anything is written.
    QCOMPARE(filesUnder(s.out), QStringList{});
    QVERIFY2(s.splitter->errorText.contains("\"sip.Call-ID\""), qPrintable(s.splitter->errorText));
}

void ConversationSplitterTest::quotedComma()
{
    Split s;
    QVERIFY(s.run(fixture("quoted_comma.csv")));
    QCOMPARE(s.splitter->invalidLines, 0);
    QCOMPARE(filesUnder(s.out),
             (QStringList{"attributes.conf", "cal/l,1/call,1.conv", "pla/in/plain.conv"}));
    QCOMPARE(s.file("cal/l,1/call,1.conv"), QByteArray("1,\"call,1\",\"a, b\""));
    QCOMPARE(s.file("pla/in/plain.conv"), QByteArray("2,plain,\"x,y\""));
}

void ConversationSplitterTest::bytesStayAsTheyAre()
{
    Split s;
    QVERIFY(s.run(fixture("non_ascii.csv")));
    QCOMPARE(s.file("attributes.conf"), QByteArray("frame.number,sip.Call-ID,inf\xc3\xb6"));
    const QString key = QString::fromUtf8("caf\xc3\xa9\xc3\xb1");
    QCOMPARE(s.file(key.left(3) + '/' + key.mid(3) + '/' + key + ".conv"),
             QByteArray("1,caf\xc3\xa9\xc3\xb1,na\xc3\xafve"));
    // A Latin-1 byte outside the key is copied, not turned into '?'.
    QCOMPARE(s.file("abc/abc.conv"), QByteArray("2,abc,caf\xe9 latin1"));
}

void ConversationSplitterTest::markAndLineEnds()
{
    Split s;
    QVERIFY(s.run(fixture("bom_crlf.csv")));
    QCOMPARE(s.file("attributes.conf"), QByteArray("frame.number,sip.Call-ID,info"));
    QCOMPARE(s.file("abc/abc.conv"), QByteArray("1,abc,crlf\n2,abc,last"));
}

void ConversationSplitterTest::utf16Log()
{
    Split s;
    const QString text = QString::fromUtf8("n,sip.Call-ID\n1,\xc3\xa9t\xc3\xa9\n2,\xc3\xa9t\xc3\xa9\n");
    QTextCodec* codec = QTextCodec::codecForName("UTF-16LE");
    QVERIFY(s.run(s.write("log.csv", QByteArray("\xFF\xFE") + codec->fromUnicode(text))));
    QCOMPARE(s.file("attributes.conf"), QByteArray("n,sip.Call-ID"));
    QCOMPARE(s.file(QString::fromUtf8("\xc3\xa9t\xc3\xa9/\xc3\xa9t\xc3\xa9.conv")),
             QByteArray("1,\xc3\xa9t\xc3\xa9\n2,\xc3\xa9t\xc3\xa9"));
}

void ConversationSplitterTest::unreadableInput()
{
    Split s;
    QFile notes(s.out + "/notes.txt");
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.close();
    const QString missing = s.temp.filePath("missing.csv");
    QVERIFY(!s.run(missing));
    QVERIFY(s.splitter->errorText.contains(missing));
    QCOMPARE(filesUnder(s.out), QStringList{"notes.txt"});
}

void ConversationSplitterTest::refusedSplitLeavesTheFolder_data()
{
    QTest::addColumn<QString>("log");        // a fixture, or a path as it is
    QTest::addColumn<QString>("folder");     // what D holds: "empty", "split", "blocked", "file"
    QTest::addColumn<QString>("error");      // the start of the error text

    const QStringList folders{"empty", "split"};
    for (const QString& folder : folders) {
        const QByteArray tag = folder.toLatin1() + " folder, ";
        QTest::newRow(tag + "no key column") << fixture("no_call_id.csv") << folder
                                             << "the log has no column \"sip.Call-ID\"";
        QTest::newRow(tag + "missing log") << "missing.csv" << folder << "could not read ";
        QTest::newRow(tag + "log is a folder") << "." << folder << "could not read ";
        // Opens, but reading its first bytes fails.
        QTest::newRow(tag + "unreadable log") << "/proc/self/mem" << folder << "reading ";
        QTest::newRow(tag + "empty log") << fixture("empty.csv") << folder << "the log is empty";
        QTest::newRow(tag + "header only") << fixture("header_only.csv") << folder
                                           << "the log holds no line after its header";
        QTest::newRow(tag + "no data row") << fixture("no_data_row.csv") << folder
                                           << "no line of the log has the header's 3 fields";
    }
    QTest::newRow("attributes.conf is a folder") << fixture("keys.csv") << "blocked"
                                                 << "could not write ";
    QTest::newRow("D is a file") << fixture("keys.csv") << "file" << "no folder ";
}

void ConversationSplitterTest::refusedSplitLeavesTheFolder()
{
    QFETCH(QString, log);
    QFETCH(QString, folder);
    QFETCH(QString, error);

    Split s;
    if (folder == "split") {
        // An earlier split of another log, the empty key's file among it.
        QVERIFY(s.run(fixture("keys.csv")));
        s.write("out/.conv", "1,,empty key");
        s.write("out/notes.txt", "the analyst's");
    } else if (folder == "blocked") {
        QVERIFY(QDir(s.out).mkpath("attributes.conf/inside"));
        s.write("out/attributes.conf/inside/x", "x");
    } else if (folder == "file") {
        QVERIFY(QDir(s.out).removeRecursively());
        s.write("out", "a file");
    }
    const QMap<QString, QByteArray> before = snapshot(s.temp.path());
    const QString input = QFileInfo(log).isAbsolute() ? log : s.temp.filePath(log);

    QVERIFY(!s.run(input));
    QVERIFY2(s.splitter->errorText.startsWith(error), qPrintable(s.splitter->errorText));
    QCOMPARE(snapshot(s.temp.path()), before);
    QCOMPARE(s.splitter->linesWritten, 0);
}

void ConversationSplitterTest::failedSplitLeavesTheFolder_data()
{
    QTest::addColumn<QString>("blocker");   // what stands at D/zzz/zzz.conv
    QTest::addColumn<QString>("error");     // the start of the error text

    QTest::newRow("conversation file is a folder") << "folder" << "could not write ";
    QTest::newRow("disk full") << "/dev/full" << "could not write ";
    QTest::newRow("cancelled halfway") << "" << "cancelled";
}

void ConversationSplitterTest::failedSplitLeavesTheFolder()
{
    QFETCH(QString, blocker);
    QFETCH(QString, error);

    // An earlier split (its empty key's file among it); the new log appends
    // to one of its files, makes others with their folders, replaces
    // "attributes.conf" and ".conv", and fails at its last line.
    Split s;
    QVERIFY(s.run(fixture("keys.csv")));
    s.write("out/.conv", "1,,empty key");
    QDir(s.out).mkpath("zzz");
    if (blocker == "folder")
        QDir(s.out).mkpath("zzz/zzz.conv");
    else if (!blocker.isEmpty() && !QFile::link(blocker, s.out + "/zzz/zzz.conv"))
        QSKIP("no link to /dev/full");
    QByteArray log = "n,sip.Call-ID,x\n1,abcdefgh,more\n2,,empty\n";
    for (int i = 0; i < 10050; ++i)
        log += QByteArray::number(i) + ",new" + QByteArray::number(i % 40) + ",y\n";
    log += "3,zzz,last\n";
    const QString input = s.write("log.csv", log);
    const QMap<QString, QByteArray> before = snapshot(s.temp.path());

    s.splitter.reset(new ConversationSplitter(input, s.out));
    ConversationSplitter* splitter = s.splitter.get();
    // The cancel comes with the progress line of the 10000th line.
    static ConversationSplitter* cancelling = nullptr;
    cancelling = blocker.isEmpty() ? splitter : nullptr;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            if (cancelling && text == "exported 10000")
                cancelling->cancelled.store(true);
        });
    const bool complete = splitter->run();
    qInstallMessageHandler(previous);

    QVERIFY(!complete);
    QVERIFY2(splitter->errorText.startsWith(error), qPrintable(splitter->errorText));
    QVERIFY2(splitter->errorText.endsWith("; nothing was written"), qPrintable(splitter->errorText));
    QCOMPARE(snapshot(s.temp.path()), before);
}

void ConversationSplitterTest::matchesReference()
{
    // A log of plain keys split twice into one folder, with few files open
    // at a time, against the layout worked out here line by line.
    QRandomGenerator random(7);
    const QByteArray letters("abcdefghijklmnopqrstuvwxyz0123456789_-");
    QList<QByteArray> keys;
    for (int i = 0; i < 60; ++i) {
        QByteArray key;
        for (int n = 1 + int(random.bounded(10)); n > 0; --n)
            key += letters.at(int(random.bounded(letters.size())));
        keys << key;
    }
    QByteArray log = "n,sip.Call-ID,info\r\n";
    QMap<QString, QByteArray> expected{{"attributes.conf", "n,sip.Call-ID,info"}};
    QList<QByteArray> lines;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray key = keys.at(int(random.bounded(keys.size())));
        const QByteArray line = QByteArray::number(i) + ',' + key + (i % 3 ? ",\"x, y\"" : ",z");
        log += (i % 50 == 0 ? "bad\n" : "") + line + (i % 7 ? "\n" : "\r\n");
        lines << line;
    }
    for (int round = 0; round < 2; ++round) {
        for (const QByteArray& line : lines) {
            const QByteArray key = line.split(',').at(1);
            QString path;
            for (const QByteArray& part : {key.left(3), key.mid(3, 3)}) {
                if (!part.isEmpty())
                    expected.insert(path += part + '/', QByteArray());
            }
            QByteArray& bytes = expected[path + key + ".conv"];
            bytes += (bytes.isEmpty() ? "" : "\n") + line;
        }
    }
    Split s;
    const QString input = s.write("log.csv", log);
    DebugCapture debug;
    debug.setForward(false);
    for (int round = 0; round < 2; ++round) {
        s.splitter.reset(new ConversationSplitter(input, s.out));
        s.splitter->fileCap = 5;
        QVERIFY(s.splitter->run());
    }
    QCOMPARE(snapshot(s.out), expected);
}

void ConversationSplitterTest::unwritableFolder()
{
    Split s;
    // A file where the folder of the keys "abc..." would go.
    QFile blocker(s.out + "/abc");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a folder");
    blocker.close();

    DebugCapture debug;
    debug.setForward(false);
    QVERIFY(!s.run(fixture("keys.csv")));
    // Stopped at the first line that could not be written, and undone.
    QCOMPARE(s.splitter->lostLines, 1);
    QCOMPARE(s.splitter->linesWritten, 0);
    QCOMPARE(filesUnder(s.out), QStringList{"abc"});
    QCOMPARE(s.file("abc"), QByteArray("not a folder"));
    QVERIFY2(s.splitter->errorText.startsWith("could not write " + s.out + "/abc/def/abcdefgh.conv: "),
             qPrintable(s.splitter->errorText));
    QCOMPARE(debug.lines().filter(QRegularExpression("^file open not allowed ")).size(), 1);
}

void ConversationSplitterTest::capFor_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("cap");

    QTest::newRow("ulimit 256") << qint64(256) << 192;
    QTest::newRow("below the reserve") << qint64(10) << 1;
    QTest::newRow("large") << qint64(1048576) << 50000;
    QTest::newRow("unlimited") << qint64(-1) << 50000;
}

void ConversationSplitterTest::capFor()
{
    QFETCH(qint64, limit);
    QFETCH(int, cap);
    QCOMPARE(ConversationSplitter::capFor(limit), cap);
}

void ConversationSplitterTest::capClosesFiles()
{
    Split s;
    QByteArray log = "n,sip.Call-ID\n";
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 25; ++i)
            log += QByteArray::number(round) + ",key" + QByteArray::number(i) + "\n";
    s.splitter.reset(new ConversationSplitter(s.write("log.csv", log), s.out));
    s.splitter->fileCap = 10;
    DebugCapture debug;
    debug.setForward(false);
    QVERIFY(s.splitter->run());
    // 50 lines, each opening its file: full at 10, 20, 30, 40 and 50.
    QCOMPARE(debug.count("start cleanup"), 5);
    QCOMPARE(debug.count("done cleanup"), 5);
    QCOMPARE(debug.count("closed 0"), 5);
    QCOMPARE(s.file("key/7/key7.conv"), QByteArray("0,key7\n1,key7"));
    QCOMPARE(s.file("key/24/key24.conv"), QByteArray("0,key24\n1,key24"));
}

void ConversationSplitterTest::descriptorShortage()
{
    Split s;
    QByteArray log = "n,sip.Call-ID\n";
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 100; ++i)
            log += QByteArray::number(round) + ",k" + QByteArray::number(i) + "\n";
    s.splitter.reset(new ConversationSplitter(s.write("log.csv", log), s.out));

    // Room for a dozen more descriptors only: opens fail with EMFILE long
    // before the cap is reached.
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(openDescriptors() + 12);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    DebugCapture debug;
    debug.setForward(false);
    const bool complete = s.splitter->run();
    setrlimit(RLIMIT_NOFILE, &saved);

    QVERIFY2(complete, qPrintable(s.splitter->errorText));
    QCOMPARE(s.splitter->lostLines, 0);
    QCOMPARE(s.splitter->linesWritten, 300);
    QVERIFY(debug.count("start cleanup") > 0);
    for (int i = 0; i < 100; ++i) {
        const QByteArray k = "k" + QByteArray::number(i);
        QCOMPARE(s.file(QString::fromLatin1(k.left(3) + (k.size() > 3 ? "/" + k.mid(3) : "")) + '/' + k
                        + ".conv"),
                 "0," + k + "\n1," + k + "\n2," + k);
    }
}

void ConversationSplitterTest::exportButton_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QByteArray>("rewritten");   // what the log holds at "Export", if changed
    QTest::addColumn<QString>("blocker");        // a file in D before the export
    QTest::addColumn<QString>("lastText");       // the start of the last box's text
    QTest::addColumn<bool>("accepted");

    QTest::newRow("split") << "keys.csv" << QByteArray() << "" << "Export successful!" << true;
    QTest::newRow("semicolons") << "semicolons.csv" << QByteArray() << "" << "Export successful!" << true;
    QTest::newRow("no key column") << "no_call_id.csv" << QByteArray() << ""
                                   << "Export failed: the log has no column \"sip.Call-ID\"" << false;
    QTest::newRow("rewritten to its header")
        << "keys.csv" << QByteArray("frame.number,sip.Call-ID,info\n") << ""
        << "Export failed: the log holds no line after its header" << false;
    QTest::newRow("a file cannot be written") << "keys.csv" << QByteArray() << "abc"
                                              << "Export failed: could not write " << false;
}

void ConversationSplitterTest::exportButton()
{
    QFETCH(QString, log);
    QFETCH(QByteArray, rewritten);
    QFETCH(QString, blocker);
    QFETCH(QString, lastText);
    QFETCH(bool, accepted);

    DialogFixture f;
    Split s;
    const QByteArray bytes = readAll(fixture(log));
    const QString path = s.write("log.csv", bytes);
    chooseLog(f.dialog, path);
    if (!rewritten.isEmpty())
        s.write("log.csv", rewritten);
    if (!blocker.isEmpty())
        s.write("out/" + blocker, "x");
    FileAnswers files({s.out});
    f.dialog.exportData();
    QVERIFY2(f.boxes.texts().last().startsWith(lastText), qPrintable(f.boxes.texts().last()));
    QCOMPARE(f.dialog.result() == QDialog::Accepted, accepted);
    if (accepted) {
        QCOMPARE(s.file("attributes.conf"), bytes.left(bytes.indexOf('\n')));
        QVERIFY(filesUnder(s.out).contains("ab/ab.conv"));
    } else {
        // Refused, or undone: nothing written.
        QCOMPARE(filesUnder(s.out), blocker.isEmpty() ? QStringList() : QStringList{blocker});
    }
}

void ConversationSplitterTest::cancelledExport()
{
    // "Cancel" in the progress dialog as soon as it shows: the split stops
    // and undoes what it wrote; no box follows and the dialog stays open.
    DialogFixture f;
    Split s;
    QByteArray log = "n,sip.Call-ID\n";
    for (int i = 0; i < 200000; ++i)
        log += QByteArray::number(i) + ",call" + QByteArray::number(i % 500) + "\n";
    chooseLog(f.dialog, s.write("log.csv", log));
    FileAnswers files({s.out});
    DebugCapture debug;
    debug.setForward(false);
    QTimer::singleShot(0, &f.dialog, [&f]() {
        if (auto* progress = f.dialog.findChild<QProgressDialog*>())
            progress->findChild<QPushButton*>()->click();
    });
    f.dialog.exportData();
    QCOMPARE(f.boxes.texts(), QStringList{"Be patient this may take a while... Press OK to start"});
    QVERIFY(f.dialog.result() != QDialog::Accepted);
    QCOMPARE(filesUnder(s.out), QStringList());
}

void ConversationSplitterTest::cancelLeavingSomething_data()
{
    QTest::addColumn<QString>("earlier");     // a conversation file in D before the export
    QTest::addColumn<QString>("intruder");    // what another program makes meanwhile
    QTest::addColumn<int>("left");            // what could not be put back (0: no message)
    QTest::addColumn<QString>("named");       // the first of it, as the message names it
    QTest::addColumn<QStringList>("after");   // what D holds afterwards

    QTest::newRow("all put back") << "" << "" << 0 << "" << QStringList();
    QTest::newRow("a file in a folder the export made")
        << "" << "cal/l7/notes.txt" << 2 << "cal/l7"
        << QStringList{"cal/", "cal/l7/", "cal/l7/notes.txt"};
    QTest::newRow("a file it appended to replaced by a folder")
        << "cal/l7/call7.conv" << "cal/l7/call7.conv/" << 1 << "cal/l7/call7.conv"
        << QStringList{"cal/", "cal/l7/", "cal/l7/call7.conv/"};
}

void ConversationSplitterTest::cancelLeavingSomething()
{
    // "Cancel" once 10000 lines are written: a split that put the folder
    // back says nothing and the dialog stays open; one that could not
    // says what was left, as a failed one does.
    QFETCH(QString, earlier);
    QFETCH(QString, intruder);
    QFETCH(int, left);
    QFETCH(QString, named);
    QFETCH(QStringList, after);

    DialogFixture f;
    Split s;
    QByteArray log = "n,sip.Call-ID\n";
    for (int i = 0; i < 200000; ++i)
        log += QByteArray::number(i) + ",call" + QByteArray::number(i % 500) + "\n";
    chooseLog(f.dialog, s.write("log.csv", log));
    if (!earlier.isEmpty()) {
        QVERIFY(QDir(s.out).mkpath(QFileInfo(earlier).path()));
        s.write("out/" + earlier, "old");
    }
    const QString out = s.out;
    meanwhile = [out, intruder]() {
        if (intruder.endsWith('/')) {
            QFile::remove(out + '/' + intruder.chopped(1));
            QDir(out).mkpath(intruder);
        } else if (!intruder.isEmpty()) {
            QFile notes(out + '/' + intruder);
            if (notes.open(QIODevice::WriteOnly))
                notes.write("another program's");
        }
    };
    tenThousand.store(false);
    cancelClicked.store(false);
    QTimer click;
    connect(&click, &QTimer::timeout, &f.dialog, [&f]() {
        if (!tenThousand.load() || cancelClicked.load())
            return;
        if (auto* progress = f.dialog.findChild<QProgressDialog*>())
            progress->findChild<QPushButton*>()->click();
        cancelClicked.store(true);
    });
    click.start(1);
    FileAnswers files({s.out});
    const QtMessageHandler previous = qInstallMessageHandler(cancelAtTenThousand);
    f.dialog.exportData();
    qInstallMessageHandler(previous);
    meanwhile = nullptr;

    QVERIFY(cancelClicked.load());
    QStringList texts{"Be patient this may take a while... Press OK to start"};
    if (left > 0)
        texts << QString("Export failed: cancelled; the folder could not be put back as it was "
                         "(%1 left: %2)")
                     .arg(left)
                     .arg(s.out + '/' + named);
    QCOMPARE(f.boxes.texts(), texts);
    QCOMPARE(f.boxes.titles().last(), QString(left > 0 ? "Failed to export" : "Processing"));
    QVERIFY(f.dialog.result() != QDialog::Accepted);
    QCOMPARE(snapshot(s.out).keys(), after);
}

void ConversationSplitterTest::exportLeftByAnException()
{
    // The progress dialog's poll runs out of memory half way: the split is
    // stopped and joined before the export returns, the folder as it was.
    struct ThrowAtPoll : QObject
    {
        bool eventFilter(QObject* watched, QEvent* e) override
        {
            auto* poll = qobject_cast<QTimer*>(watched);
            if (e->type() != QEvent::Timer || !poll || poll->interval() != 100 || !tenThousand.load()
                || cancelClicked.exchange(true))   // lets the split go on
                return false;
            throw std::bad_alloc();
        }
    } throwAtPoll;
    DialogFixture f;
    Split s;
    QByteArray log = "n,sip.Call-ID\n";
    for (int i = 0; i < 200000; ++i)
        log += QByteArray::number(i) + ",call" + QByteArray::number(i % 500) + "\n";
    chooseLog(f.dialog, s.write("log.csv", log));
    s.write("out/notes.txt", "the analyst's");
    const QMap<QString, QByteArray> before = snapshot(s.out);
    FileAnswers files({s.out});
    meanwhile = []() {};
    tenThousand.store(false);
    cancelClicked.store(false);
    const QtMessageHandler previous = qInstallMessageHandler(cancelAtTenThousand);
    qApp->installEventFilter(&throwAtPoll);
    f.dialog.exportData();
    qApp->removeEventFilter(&throwAtPoll);
    qInstallMessageHandler(previous);
    meanwhile = nullptr;
    QCOMPARE(snapshot(s.out), before);
    QVERIFY(cancelClicked.load());
    QCOMPARE(f.boxes.texts().last(), QStringLiteral("Export failed: ran out of memory; nothing was written"));
}

void ConversationSplitterTest::emptyKeyOnAFullDisk_data()
{
    QTest::addColumn<int>("lines");   // the empty key's lines of 100 bytes

    // Within a QSaveFile's write buffer (16 KiB), and beyond it.
    QTest::newRow("less than a write buffer") << 30;
    QTest::newRow("more than a write buffer") << 400;
}

void ConversationSplitterTest::emptyKeyOnAFullDisk()
{
    // The empty key's file cannot be written in full: the split fails with
    // the system's cause, and D stays as an earlier split left it. The
    // disk fills up at 2 KiB a file, by the process's file size limit: a
    // write is cut short there, and the next one fails with EFBIG, as with
    // ENOSPC on a full disk.
    QFETCH(int, lines);

    Split s;
    QVERIFY(s.run(s.write("earlier.csv", "n,sip.Call-ID,x\n1,,earlier\n2,abc,earlier\n")));
    QByteArray log = "n,sip.Call-ID,x\n3,abc,more\n";
    for (int i = 0; i < lines; ++i)
        log += QByteArray::number(i).rightJustified(4, '0') + ",," + QByteArray(93, 'e') + "\n";
    const QString input = s.write("log.csv", log);
    const QMap<QString, QByteArray> before = snapshot(s.temp.path());

    s.splitter.reset(new ConversationSplitter(input, s.out));
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 2048;
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool complete = s.splitter->run();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);

    QVERIFY(!complete);
    QCOMPARE(s.splitter->errorText, "could not write " + s.out + "/.conv: " + qt_error_string(EFBIG)
                                        + "; nothing was written");
    QCOMPARE(s.splitter->lostLines, 1);
    QCOMPARE(snapshot(s.temp.path()), before);
}

LUMIVANE_TEST(ConversationSplitterTest)
#include "ConversationSplitterTest.moc"
