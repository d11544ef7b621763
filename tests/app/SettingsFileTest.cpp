#include "FileSizeLimit.h"
#include "MessageRecorder.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/MainWindow.h"
#include "core/Constants.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <unistd.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

const QString LOAD_TITLE = QStringLiteral("Failed to load settings");
const QString LOAD_TEXT = QStringLiteral("Load failed: settings file could not be opened");
const QString CREATE_TITLE = QStringLiteral("Failed to create default settings no permissions?");
const QString SAVE_TEXT = QStringLiteral("Save failed: file could not be written to");

} // namespace

class SettingsFileTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaults_data();
    void defaults();
    void readLines_data();
    void readLines();
    void hugeFileIsReadInPart();
    void missingFileIsCreated();
    void directoryInsteadOfFile();
    void unwritableDirectory();
    void unreadableFile();
    void saveRoundTrip_data();
    void saveRoundTrip();
    void saveFailureWarns();
    void fullDisk_data();
    void fullDisk();
    void firstStartBoxOverTheWindow();

private:
    QString tshark;
    QString wireshark;
};

void SettingsFileTest::init()
{
    tshark = TSHARK_PATH;
    wireshark = WIRESHARK_PATH;
}

void SettingsFileTest::cleanup()
{
    TSHARK_PATH = tshark;
    WIRESHARK_PATH = wireshark;
}

void SettingsFileTest::defaults_data()
{
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("tshark");
    QTest::addColumn<QString>("wireshark");
    QTest::newRow("windows") << "windows" << "C:/Program Files/Wireshark/tshark.exe"
                             << "C:/Program Files/Wireshark/wireshark.exe";
    QTest::newRow("linux") << "linux" << "/usr/bin/tshark" << "/usr/bin/wireshark";
    QTest::newRow("macos") << "macos" << "/usr/bin/tshark" << "/usr/bin/wireshark";
    QTest::newRow("other") << "plan9" << "" << "";
}

void SettingsFileTest::defaults()
{
    QFETCH(QString, os);
    QFETCH(QString, tshark);
    QFETCH(QString, wireshark);
    QCOMPARE(MainWindow::defaultTsharkPath(os), tshark);
    QCOMPARE(MainWindow::defaultWiresharkPath(os), wireshark);
    QCOMPARE(osName(), QStringLiteral("linux"));
}

void SettingsFileTest::readLines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("tshark");
    QTest::addColumn<QString>("wireshark");
    const QString def = QStringLiteral("/usr/bin/wireshark");
    QTest::newRow("one line") << QByteArray("/opt/ts") << "/opt/ts" << def;
    QTest::newRow("two lines, final newline") << QByteArray("a\nb\n") << "a" << "b";
    QTest::newRow("two lines") << QByteArray("a\nb") << "a" << "b";
    QTest::newRow("empty file") << QByteArray() << "" << def;
    QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << "a" << "b";
    QTest::newRow("blank first line") << QByteArray("\nb") << "" << "b";
    QTest::newRow("not trimmed") << QByteArray(" a \n b ") << " a " << " b ";
    QTest::newRow("utf-8") << QByteArray("/opt/t\xc3\xb8ols/tshark\n/x") << QString::fromUtf8("/opt/t\xc3\xb8ols/tshark") << "/x";
    QTest::newRow("latin-1") << QByteArray("/opt/t\xf8ols\n/x") << QString::fromLatin1("/opt/t\xf8ols") << "/x";
    QTest::newRow("stops at zero byte") << QByteArray("a\0\nb", 4) << "a" << def;
    QTest::newRow("binary") << QByteArray("\x01\xff\xfe\x80\n\x7f", 6) << QString::fromLatin1("\x01\xff\xfe\x80") << "\x7f";
}

void SettingsFileTest::readLines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, tshark);
    QFETCH(QString, wireshark);
    TempWorkDir dir;
    const QString path = dir.write(QStringLiteral("settings.txt"), bytes);
    MessageRecorder boxes;
    MainWindow::loadSettings(path);
    QCOMPARE(TSHARK_PATH, tshark);
    QCOMPARE(WIRESHARK_PATH, wireshark);
    QVERIFY(boxes.requests.isEmpty());
    QCOMPARE(readAll(path), bytes);   // reading never rewrites the file
}

void SettingsFileTest::hugeFileIsReadInPart()
{
    TempWorkDir dir;
    QByteArray bytes(8 * 1024 * 1024, 'x');
    bytes.append("\nb");
    const QString path = dir.write(QStringLiteral("settings.txt"), bytes);
    MessageRecorder boxes;
    MainWindow::loadSettings(path);
    QCOMPARE(TSHARK_PATH.size(), 1024 * 1024);
    QCOMPARE(WIRESHARK_PATH, QStringLiteral("/usr/bin/wireshark"));
    QVERIFY(boxes.requests.isEmpty());
}

void SettingsFileTest::missingFileIsCreated()
{
    TempWorkDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.txt"));
    TSHARK_PATH = QStringLiteral("before");
    MessageRecorder boxes;
    MainWindow::loadSettings(path);
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests[0].title, LOAD_TITLE + QDir::currentPath());
    QCOMPARE(boxes.requests[0].text, LOAD_TEXT);
    QCOMPARE(boxes.requests[0].icon, QMessageBox::Warning);
    QCOMPARE(boxes.requests[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!boxes.requests[0].parent);
    QCOMPARE(readAll(path), QByteArray("/usr/bin/tshark\n/usr/bin/wireshark"));
    QCOMPARE(TSHARK_PATH, QStringLiteral("/usr/bin/tshark"));
    QCOMPARE(WIRESHARK_PATH, QStringLiteral("/usr/bin/wireshark"));

    // The file written is read back as it was meant.
    TSHARK_PATH.clear();
    MainWindow::loadSettings(path);
    QCOMPARE(TSHARK_PATH, QStringLiteral("/usr/bin/tshark"));
    QCOMPARE(boxes.requests.size(), 1);
}

void SettingsFileTest::directoryInsteadOfFile()
{
    TempWorkDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("settings.txt")));
    MessageRecorder boxes;
    MainWindow::loadSettings(dir.filePath(QStringLiteral("settings.txt")));
    QCOMPARE(boxes.titles(), QStringList({LOAD_TITLE + QDir::currentPath(), CREATE_TITLE}));
    QCOMPARE(boxes.requests[1].text, SAVE_TEXT);
    QCOMPARE(TSHARK_PATH, QStringLiteral("/usr/bin/tshark"));
}

void SettingsFileTest::unwritableDirectory()
{
    TempWorkDir dir;
    // A folder that does not exist cannot take the file, even for root.
    const QString path = dir.filePath(QStringLiteral("gone/settings.txt"));
    MessageRecorder boxes;
    MainWindow::loadSettings(path);
    QCOMPARE(boxes.titles(), QStringList({LOAD_TITLE + QDir::currentPath(), CREATE_TITLE}));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(WIRESHARK_PATH, QStringLiteral("/usr/bin/wireshark"));
}

void SettingsFileTest::unreadableFile()
{
    if (geteuid() == 0)
        QSKIP("root reads every file");
    TempWorkDir dir;
    const QString path = dir.write(QStringLiteral("settings.txt"), "a\nb");
    QFile::setPermissions(path, QFileDevice::WriteOwner);
    MessageRecorder boxes;
    MainWindow::loadSettings(path);
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests[0].title, LOAD_TITLE + QDir::currentPath());
}

void SettingsFileTest::saveRoundTrip_data()
{
    QTest::addColumn<QString>("tshark");
    QTest::addColumn<QString>("wireshark");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << "/usr/bin/tshark" << "/usr/bin/wireshark"
                           << QByteArray("/usr/bin/tshark\n/usr/bin/wireshark");
    QTest::newRow("non-ascii") << QString::fromUtf8("/home/j\xc3\xbcrgen/tshark")
                               << QString::fromUtf8("/opt/\xe6\x97\xa5/wireshark")
                               << QByteArray("/home/j\xc3\xbcrgen/tshark\n/opt/\xe6\x97\xa5/wireshark");
    QTest::newRow("empty") << "" << "" << QByteArray("\n");
}

void SettingsFileTest::saveRoundTrip()
{
    QFETCH(QString, tshark);
    QFETCH(QString, wireshark);
    QFETCH(QByteArray, bytes);
    TempWorkDir dir;
    const QString path = dir.write(QStringLiteral("settings.txt"), "old content that is longer");
    TSHARK_PATH = tshark;
    WIRESHARK_PATH = wireshark;
    MessageRecorder boxes;
    MainWindow::saveSettings(path);
    QCOMPARE(readAll(path), bytes);
    TSHARK_PATH = QStringLiteral("x");
    WIRESHARK_PATH = QStringLiteral("y");
    MainWindow::loadSettings(path);
    QCOMPARE(TSHARK_PATH, tshark);
    QCOMPARE(WIRESHARK_PATH, wireshark);
    QVERIFY(boxes.requests.isEmpty());
}

void SettingsFileTest::saveFailureWarns()
{
    TempWorkDir dir;
    TSHARK_PATH = QStringLiteral("/a");
    MessageRecorder boxes;
    MainWindow::saveSettings(dir.filePath(QStringLiteral("gone/settings.txt")));
    QCOMPARE(boxes.titles(), QStringList({QStringLiteral("Failed to save settings")}));
    QCOMPARE(boxes.requests[0].text, SAVE_TEXT);
    QCOMPARE(TSHARK_PATH, QStringLiteral("/a"));
}

void SettingsFileTest::fullDisk_data()
{
    QTest::addColumn<bool>("firstStart");
    QTest::addColumn<bool>("old");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("save over a file") << false << true << QStringList{"Failed to save settings"};
    QTest::newRow("save, new file") << false << false << QStringList{"Failed to save settings"};
    // The file could not be read: the defaults are written in its place.
    QTest::newRow("first start") << true << false << QStringList{LOAD_TITLE, CREATE_TITLE};
}

// On a full disk the settings file stays byte for byte (or is not made),
// and the box says it could not be written.
void SettingsFileTest::fullDisk()
{
    QFETCH(bool, firstStart);
    QFETCH(bool, old);
    QFETCH(QStringList, titles);
    TempWorkDir dir;
    // The load box names the folder the program runs in.
    titles.replaceInStrings(QRegularExpression(QStringLiteral("^") + LOAD_TITLE + QStringLiteral("$")),
                            LOAD_TITLE + QDir::currentPath());
    const QString path = dir.filePath(QStringLiteral("settings.txt"));
    if (old)
        dir.write(QStringLiteral("settings.txt"), "/opt/tshark\n/opt/wireshark");
    const QMap<QString, QByteArray> before = filesIn(dir.path());
    TSHARK_PATH = QStringLiteral("/a/long/way/to/") + QString(200, QLatin1Char('t'));
    MessageRecorder boxes;
    {
        // Room for neither the paths of this test nor the defaults.
        FileSizeLimit full(10);
        QVERIFY(full.active());
        if (firstStart)
            MainWindow::loadSettings(path);
        else
            QVERIFY(!MainWindow::saveSettings(path));
    }
    QCOMPARE(boxes.titles(), titles);
    QCOMPARE(boxes.requests.last().text, SAVE_TEXT);
    QCOMPARE(filesIn(dir.path()), before);
}

void SettingsFileTest::firstStartBoxOverTheWindow()
{
    // A first start: the box waits for the window to show, and opens over it.
    const QByteArray before = readAll(SETTINGS_PATH);
    QFile::remove(SETTINGS_PATH);
    MessageRecorder boxes;
    bool overShownWindow = false;
    MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.requests.append(r);
        overShownWindow = r.parent && r.parent->isVisible();
        return QMessageBox::Ok;
    });
    {
        MainWindow window;
        QVERIFY(boxes.requests.isEmpty());
        window.show();
        QTRY_COMPARE(boxes.titles(), QStringList{LOAD_TITLE + QDir::currentPath()});
        QCOMPARE(boxes.requests[0].parent, &window);
        QVERIFY(overShownWindow);
    }
    QFile::remove(SETTINGS_PATH);
    QFile file(SETTINGS_PATH);
    if (before != "<unreadable>" && file.open(QIODevice::WriteOnly))
        file.write(before);
}

LUMIVANE_TEST(SettingsFileTest)
#include "SettingsFileTest.moc"
