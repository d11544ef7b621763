#include "TestRegistry.h"

int main(int argc, char** argv)
{
    return testsupport::runAll(argc, argv);
}
