#include "TempWorkDir.h"
#include "TestRegistry.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

// Starts the real program, as a person would, in an empty directory.
class ProgramStartTest : public QObject
{
    Q_OBJECT

private slots:
    void startsAndKeepsRunning_data();
    void startsAndKeepsRunning();
};

void ProgramStartTest::startsAndKeepsRunning_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<bool>("debugLines");
    QTest::newRow("as a user starts it") << QString() << false;
    QTest::newRow("debug lines asked for") << QStringLiteral("default.debug=true") << true;
}

// Its debug lines only when the environment asks for them.
void ProgramStartTest::startsAndKeepsRunning()
{
    QFETCH(QString, rules);
    QFETCH(bool, debugLines);
    const QString program = QStringLiteral(LUMIVANE_BINARY_DIR) + QStringLiteral("/src/lumivane");
    if (!QFile::exists(program))
        QSKIP("the lumivane program is not built in this tree");
    TempWorkDir dir;
    QProcess process;
    process.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("QT_LOGGING_CONF"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!rules.isEmpty())
        env.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, QStringList());
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    QTest::qWait(3000);
    const bool running = process.state() == QProcess::Running;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    const QByteArray output = process.readAll();
    QVERIFY2(running, output.constData());
    QCOMPARE(output.contains("build conversation data"), debugLines);

    // The first start writes the settings file with this system's defaults.
    QFile settings(dir.filePath(QStringLiteral("settings.txt")));
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QCOMPARE(settings.readAll(), QByteArray("/usr/bin/tshark\n/usr/bin/wireshark"));
}

LUMIVANE_TEST(ProgramStartTest)
#include "ProgramStartTest.moc"
