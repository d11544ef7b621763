#include "app/AppGlobals.h"

const QString VERSION_STRING = QStringLiteral("1.1");
bool SPLIT_FLAG = false;
bool NO_DATA = true;
bool DEMO_LIGHTS = false;
