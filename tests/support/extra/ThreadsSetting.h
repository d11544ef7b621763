#pragma once

#include <QByteArray>
#include <QtGlobal>

// LUMIVANE_THREADS for the length of a test, so that work in parts runs on
// that many threads on any machine.
class ThreadsSetting
{
public:
    explicit ThreadsSetting(int n) : old(qgetenv("LUMIVANE_THREADS"))
    {
        qputenv("LUMIVANE_THREADS", QByteArray::number(n));
    }
    ~ThreadsSetting()
    {
        if (old.isNull())
            qunsetenv("LUMIVANE_THREADS");
        else
            qputenv("LUMIVANE_THREADS", old);
    }
    ThreadsSetting(const ThreadsSetting&) = delete;
    ThreadsSetting& operator=(const ThreadsSetting&) = delete;

private:
    QByteArray old;
};
