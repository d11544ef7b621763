#include "ThreadBudget.h"

#include <QThread>
#include <QtGlobal>

#include <algorithm>

int ThreadBudget::count()
{
    bool ok = false;
    const int forced = qEnvironmentVariableIntValue("LUMIVANE_THREADS", &ok);
    if (ok && forced > 0)
        return std::min(forced, 64);
    return std::max(1, std::min(QThread::idealThreadCount(), 4));
}
