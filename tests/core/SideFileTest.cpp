#include "FileSizeLimit.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "core/SideFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

// A file written in place of another: the new bytes take the target's
// place only when all of them were written; a full disk leaves the target
// and its folder as they were, and says why. (The writers' tests try
// devices, folders in the way and missing folders.)

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

QByteArray bytesOf(int size)
{
    QByteArray bytes;
    for (int i = 0; bytes.size() < size; ++i)
        bytes += "line " + QByteArray::number(i) + '\n';
    bytes.truncate(size);
    return bytes;
}

} // namespace

class SideFileTest : public QObject
{
    Q_OBJECT

private slots:
    void replaces_data();
    void replaces();
    void fullDisk_data();
    void fullDisk();
};

void SideFileTest::replaces_data()
{
    QTest::addColumn<QString>("before");   // what stands at the target
    QTest::addColumn<int>("size");
    QTest::newRow("a longer file") << "file" << 10;
    QTest::newRow("a shorter file") << "file" << 100000;
    QTest::newRow("nothing") << "" << 10;
    QTest::newRow("nothing, written empty") << "" << 0;
    // A link stays a link: the file it leads to takes the new bytes.
    QTest::newRow("a link to a file") << "link" << 10;
    // The old file's permissions go to the new one.
    QTest::newRow("a read-only file of the group") << "0640" << 10;
}

void SideFileTest::replaces()
{
    QFETCH(QString, before);
    QFETCH(int, size);
    TempWorkDir dir;
    const QString target = dir.filePath(QStringLiteral("target"));
    QString written = target;
    if (before == QLatin1String("link")) {
        written = dir.write(QStringLiteral("real"), bytesOf(50));
        QVERIFY(QFile::link(written, target));
    } else if (!before.isEmpty()) {
        dir.write(QStringLiteral("target"), bytesOf(50));
    }
    if (before == QLatin1String("0640"))
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                  | QFileDevice::ReadGroup));
    const QFileDevice::Permissions permissions = QFileInfo(written).permissions();

    const QByteArray bytes = bytesOf(size);
    SideFile file(target);
    QVERIFY(file.open(true));
    QVERIFY(file.write(bytes.left(size / 2)));
    QVERIFY(file.write(bytes.mid(size / 2)));
    // Nothing shows at the target before the commit.
    QCOMPARE(readAll(target), before.isEmpty() ? QByteArray("<unreadable>") : bytesOf(50));
    QVERIFY(file.commit());
    QCOMPARE(readAll(written), bytes);
    QCOMPARE(QFileInfo(target).isSymLink(), before == QLatin1String("link"));
    if (!before.isEmpty())
        QCOMPARE(QFileInfo(written).permissions(), permissions);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
             before == QLatin1String("link") ? 2 : 1);
}

void SideFileTest::fullDisk_data()
{
    QTest::addColumn<bool>("old");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("limit");
    // Small enough to sit in the device's buffer until the commit flushes it.
    QTest::newRow("the last flush fails") << true << 1000 << 100;
    QTest::newRow("the last flush fails, new file") << false << 1000 << 100;
    // Larger than the buffer: a write fails on the way.
    QTest::newRow("a write fails") << true << 200000 << 50000;
    QTest::newRow("a write fails, new file") << false << 200000 << 50000;
}

void SideFileTest::fullDisk()
{
    QFETCH(bool, old);
    QFETCH(int, size);
    QFETCH(int, limit);
    TempWorkDir dir;
    const QString target = dir.filePath(QStringLiteral("target"));
    if (old)
        dir.write(QStringLiteral("target"), bytesOf(60));
    const QMap<QString, QByteArray> before = filesIn(dir.path());

    bool written = true;
    bool committed = true;
    QString error;
    {
        FileSizeLimit full{rlim_t(limit)};
        QVERIFY(full.active());
        SideFile file(target);
        QVERIFY(file.open(false));
        const QByteArray bytes = bytesOf(size);
        for (int at = 0; at < size && written; at += 10000)
            written = file.write(bytes.mid(at, 10000));
        committed = file.commit();
        error = file.errorString();
    }
    QCOMPARE(written, size < 16384);
    QVERIFY(!committed);
    QCOMPARE(error, qt_error_string(EFBIG));
    QCOMPARE(filesIn(dir.path()), before);
}

LUMIVANE_TEST(SideFileTest)
#include "SideFileTest.moc"
