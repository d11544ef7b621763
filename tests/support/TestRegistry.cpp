#include "TestRegistry.h"

#include "app/Application.h"

#include <QApplication>
#include <QDir>
#include <QObject>
#include <QStringList>
#include <QTest>

#include <map>
#include <memory>
#include <string>

namespace testsupport {

namespace {
std::map<std::string, TestFactory>& registry()
{
    static std::map<std::string, TestFactory> tests;
    return tests;
}
} // namespace

int registerTest(const char* name, TestFactory factory)
{
    registry()[name] = std::move(factory);
    return 0;
}

int runAll(int argc, char** argv)
{
    // The temporary folder CTest names for the area may have been removed
    // since the build was configured (QDir::tempPath() is empty then).
    const QString temporary = qEnvironmentVariable("TMPDIR");
    if (!temporary.isEmpty())
        QDir().mkpath(temporary);
    // The program's own application object, with its last resort for
    // running out of memory (the sweeps fail when it stops anything).
    Application app(argc, argv);
    QStringList args = app.arguments();
    QStringList only;
    for (int i = 1; i + 1 < args.size();) {
        if (args[i] == "-class") {
            only << args[i + 1];
            args.removeAt(i);
            args.removeAt(i);
        } else {
            ++i;
        }
    }
    int failedClasses = 0;
    int ran = 0;
    for (auto& entry : registry()) {
        const QString name = QString::fromStdString(entry.first);
        if (!only.isEmpty() && !only.contains(name))
            continue;
        std::unique_ptr<QObject> test(entry.second());
        ++ran;
        if (QTest::qExec(test.get(), args) != 0)
            ++failedClasses;
    }
    qInfo("%d test classes run, %d failed", ran, failedClasses);
    return failedClasses == 0 ? 0 : 1;
}

} // namespace testsupport
