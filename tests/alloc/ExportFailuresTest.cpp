#include "FailingNew.h"
#include "ImportFixture.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/FileAsker.h"
#include "import/ConversationSplitter.h"

#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Every allocation of a conversation export fails in turn, on a folder that
// holds an earlier export: the export either runs through and writes what
// an export that never failed writes, or stops with an error that names
// memory and leaves the folder byte for byte as it was. Done again, it
// writes what an export that never failed writes. So too "Export" in the
// import dialog, from the start of the split behind its progress dialog to
// the box that tells how it ended, which leaves no thread running.

namespace {

using Listing = QMap<QString, QByteArray>;

// Every file below `dir` (hidden ones too) with its bytes, and every
// folder (as "name/").
Listing listing(const QString& dir)
{
    Listing out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        const QString relative = QDir(dir).relativeFilePath(f.fileName());
        if (it.fileInfo().isDir())
            out.insert(relative + '/', QByteArray());
        else
            out.insert(relative, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>"));
    }
    return out;
}

QString show(const Listing& files)
{
    return QStringList(files.keys()).join(' ');
}

// The earlier export (the empty key's file and a file the new log appends
// to among it) and a file of the analyst's.
const QByteArray EARLIER = "n,sip.Call-ID,x\n1,abcdefgh,old\n2,,old empty\n3,zz,old\n";

// A folder "out" in a fresh temporary folder, holding `files`, and the log.
struct Folder
{
    QTemporaryDir temp;
    QString out = temp.filePath(QStringLiteral("out"));
    QString log = temp.filePath(QStringLiteral("log.csv"));

    explicit Folder(const Listing& files, const QByteArray& bytes)
    {
        QDir().mkpath(out);
        for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
            const QString path = out + '/' + it.key();
            if (it.key().endsWith('/')) {
                QDir().mkpath(path);
                continue;
            }
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            if (f.open(QIODevice::WriteOnly))
                f.write(it.value());
        }
        QFile f(log);
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
    }
};

// What an export that never failed leaves.
struct Outcome
{
    bool complete = false;
    QString error;   // with D for the folder's path
    Listing files;
};

// One failure point: the export with its n-th allocation failing, what it
// left, and the export done again.
void attempt(const Listing& before, const QByteArray& log, const Outcome& once, long n, bool& hit,
             long& stopped)
{
    Folder folder(before, log);
    auto splitter = std::make_unique<ConversationSplitter>(folder.log, folder.out);
    const QString where = QStringLiteral("failure point %1").arg(n);
    bool complete = false;
    bool escaped = false;
    {
        failingnew::FailAt fail(n);
        try {
            complete = splitter->run();
        } catch (...) {
            escaped = true;
        }
        hit = fail.stop();
    }
    QVERIFY2(!escaped, qPrintable(where + QStringLiteral(": an exception left run()")));
    if (complete) {
        QVERIFY2(once.complete, qPrintable(where + QStringLiteral(": ran through a failing export")));
        QVERIFY2(listing(folder.out) == once.files,
                 qPrintable(where + QStringLiteral(": ran through, but left ")
                            + show(listing(folder.out))));
        return;
    }
    // Paths read from D on.
    const QString error = QString(splitter->errorText).replace(folder.out, QStringLiteral("D"));
    if (!error.contains(QLatin1String("memory"))) {
        // Not the failure's doing: the export's own error, as without it.
        QVERIFY2(error == once.error, qPrintable(where + QStringLiteral(": ") + error));
    } else {
        ++stopped;
        QVERIFY2(error.startsWith(QLatin1String("ran out of memory"))
                     || (!once.complete && error.startsWith(once.error.section(';', 0, 0))),
                 qPrintable(where + QStringLiteral(": ") + error));
        QVERIFY2(error.endsWith(QLatin1String("; nothing was written")),
                 qPrintable(where + QStringLiteral(": ") + error));
    }
    QCOMPARE(splitter->leftBehind, 0);
    QVERIFY2(listing(folder.out) == before,
             qPrintable(where + QStringLiteral(": left ") + show(listing(folder.out))));
    // Nothing beside it either.
    const QStringList beside = QDir(folder.temp.path())
                                   .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                              | QDir::NoDotAndDotDot);
    QVERIFY2(beside == (QStringList{"log.csv", "out"}),
             qPrintable(where + QStringLiteral(": ") + beside.join(' ')));

    splitter = std::make_unique<ConversationSplitter>(folder.log, folder.out);
    QCOMPARE(splitter->run(), once.complete);
    QVERIFY2(listing(folder.out) == once.files,
             qPrintable(where + QStringLiteral(": done again, left ") + show(listing(folder.out))));
}

// The folder before: the earlier export, a file of the analyst's, the
// blocker.
Listing earlierExport(const QString& blocker)
{
    Folder earlier(Listing(), EARLIER);
    ConversationSplitter splitter(earlier.log, earlier.out);
    splitter.run();
    QFile notes(earlier.out + QStringLiteral("/notes.txt"));
    if (notes.open(QIODevice::WriteOnly))
        notes.write("the analyst's");
    notes.close();
    if (!blocker.isEmpty())
        QDir(earlier.out).mkpath(blocker);
    return listing(earlier.out);
}

int runningThreads()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

// "Export" in the import dialog into `directory`, with its n-th allocation
// after the dialog says it starts failing (none when n is 0); the boxes
// are kept without allocating.
struct DialogExport
{
    ControlWidget control{nullptr};
    OpenWidget dialog{&control};
    QString directory;
    long n = 0;
    QString told;   // the last box

    DialogExport()
    {
        MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            told = r.text;
            if (n > 0 && r.text.startsWith(QLatin1String("Be patient")))
                failingnew::failAt(n);
            return QMessageBox::Ok;
        });
        FileAsker::setHandler([this](const FileAsker::Request&) { return directory; });
    }
    ~DialogExport()
    {
        MessageAsker::setHandler({});
        FileAsker::setHandler({});
    }
};

void dialogAttempt(DialogExport& e, const Listing& before, const QString& onceTold, const Listing& once,
                   long n, bool& hit, long& stopped)
{
    const QString where = QStringLiteral("failure point %1: ").arg(n);
    Folder folder(before, QByteArray());
    e.directory = folder.out;
    const int threads = runningThreads();
    e.n = n;
    try {
        e.dialog.exportData();
    } catch (...) {
        QFAIL(qPrintable(where + QStringLiteral("an exception left the export")));
    }
    hit = failingnew::disarm();
    e.n = 0;
    QTRY_VERIFY2_WITH_TIMEOUT(runningThreads() <= threads, qPrintable(where + QStringLiteral("a thread runs")), 5000);
    if (e.told.replace(folder.out, QStringLiteral("D")) != onceTold) {
        ++stopped;
        QVERIFY2(e.told.startsWith(QLatin1String("Export failed: ")) && e.told.contains(QLatin1String("ran out of memory")),
                 qPrintable(where + e.told));
        QVERIFY2(listing(folder.out) == before, qPrintable(where + show(listing(folder.out))));
        e.dialog.exportData();
    }
    QVERIFY2(e.told.replace(folder.out, QStringLiteral("D")) == onceTold && listing(folder.out) == once,
             qPrintable(where + e.told));
}

} // namespace

class ExportFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void everyAllocation_data();
    void everyAllocation();
    void throughTheDialog_data() { everyAllocation_data(); }
    void throughTheDialog();
};

void ExportFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("blocker");   // a folder in the way of a conversation file

    // Appends to a file of the earlier export, makes files and their
    // folders, replaces "attributes.conf" and ".conv"; skips a short line.
    const QByteArray log = "n,sip.Call-ID,y\n1,abcdefgh,more\n2,,empty\n3,new1,a\n4,short\n"
                           "5,new22222,b\n6,new1,c\n7,,empty again\n";
    QTest::newRow("appends, makes and replaces") << log << QString();
    // The same, stopped at its last line by a folder where a conversation
    // file would go: an undo follows whatever failed.
    QTest::newRow("stops at its last line")
        << log + "8,blocked,d\n" << QStringLiteral("blo/cke/blocked.conv/");
}

void ExportFailuresTest::everyAllocation()
{
    QFETCH(QByteArray, log);
    QFETCH(QString, blocker);

    const Listing before = earlierExport(blocker);
    QCOMPARE(before.value(QStringLiteral(".conv")), QByteArray("2,,old empty"));

    Outcome once;
    {
        Folder folder(before, log);
        ConversationSplitter splitter(folder.log, folder.out);
        once.complete = splitter.run();
        once.error = QString(splitter.errorText).replace(folder.out, QStringLiteral("D"));
        once.files = listing(folder.out);
        QCOMPARE(once.complete, blocker.isEmpty());
        if (once.complete) {
            QCOMPARE(once.files.value(QStringLiteral("abc/def/abcdefgh.conv")),
                     QByteArray("1,abcdefgh,old\n1,abcdefgh,more"));
            QCOMPARE(once.files.value(QStringLiteral(".conv")), QByteArray("2,,empty\n7,,empty again"));
            QCOMPARE(once.files.value(QStringLiteral("new/1/new1.conv")),
                     QByteArray("3,new1,a\n6,new1,c"));
        } else {
            QVERIFY2(once.error.endsWith(QLatin1String("; nothing was written")),
                     qPrintable(once.error));
            QCOMPARE(once.files, before);
        }
    }

    long stopped = 0;
    const long points = sweep::run(QString::fromLatin1(QTest::currentDataTag()), [&](long n) {
        bool hit = false;
        attempt(before, log, once, n, hit, stopped);
        return hit && !QTest::currentTestFailed();
    });
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << stopped
                      << "of them stopped for memory";
    QVERIFY(points > 0);
    QVERIFY(stopped > 0);
}

void ExportFailuresTest::throughTheDialog()
{
    QFETCH(QByteArray, log);
    QFETCH(QString, blocker);
    // Qt's own allocations are spared: they do not recover (see LoadFailuresTest).
    sweep::spareQt();
    const Listing before = earlierExport(blocker);
    Folder home(Listing(), log);
    DialogExport e;
    chooseLog(e.dialog, home.log);
    Folder folder(before, QByteArray());
    e.directory = folder.out;
    e.dialog.exportData();
    const QString onceTold = e.told.replace(folder.out, QStringLiteral("D"));
    const Listing once = listing(folder.out);
    QCOMPARE(onceTold == QLatin1String("Export successful!"), blocker.isEmpty());

    long stopped = 0;
    const long points = sweep::run(QStringLiteral("dialog ") + QString::fromLatin1(QTest::currentDataTag()), [&](long n) {
        bool hit = false;
        dialogAttempt(e, before, onceTold, once, n, hit, stopped);
        return hit && !QTest::currentTestFailed();
    });
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << stopped << "of them stopped";
    QVERIFY(stopped > 0);
}

LUMIVANE_TEST(ExportFailuresTest)
#include "ExportFailuresTest.moc"
