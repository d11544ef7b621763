#include "ThreadBudget.h"

#include <QThread>
#include <QtGlobal>

#include <algorithm>
#include <thread>
#include <vector>

int ThreadBudget::count()
{
    bool ok = false;
    const int forced = qEnvironmentVariableIntValue("LUMIVANE_THREADS", &ok);
    if (ok && forced > 0)
        return std::min(forced, 64);
    return std::max(1, std::min(QThread::idealThreadCount(), 4));
}

void ThreadBudget::runInParts(std::size_t size, int parts,
                              const std::function<void(int, std::size_t, std::size_t)>& part)
{
    parts = std::max(1, parts);
    auto run = [&part, size, parts](int k) {
        part(k, size * std::size_t(k) / std::size_t(parts), size * std::size_t(k + 1) / std::size_t(parts));
    };
    std::vector<std::thread> helpers;
    helpers.reserve(std::size_t(parts - 1));
    for (int k = 1; k < parts; ++k)
        helpers.emplace_back(run, k);
    run(0);
    for (std::thread& helper : helpers)
        helper.join();
}
