#pragma once

#include <functional>

class QObject;

// Every test class of an area registers itself here; the area's executable
// runs all of them in name order (or only those named on the command line
// with "-class Name", the remaining arguments going to QTest).
namespace testsupport {

using TestFactory = std::function<QObject*()>;

int registerTest(const char* name, TestFactory factory);
int runAll(int argc, char** argv);

} // namespace testsupport

#define LUMIVANE_TEST(Cls) \
    static const int Cls##_registered_ = \
        ::testsupport::registerTest(#Cls, []() -> QObject* { return new Cls; });
