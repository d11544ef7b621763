#pragma once

class QMutex;

// Locks a QMutex for a scope, like QMutexLocker. Debian's Qt is not built
// with ThreadSanitizer, so the sanitizer cannot see a QMutex order the
// accesses it guards; in such builds every lock and unlock made through this
// class is also announced to it, and the histograms' data races stay
// visible without blanket suppressions. Other builds only lock.
class AnnotatedLocker
{
public:
    explicit AnnotatedLocker(QMutex* mutex);
    ~AnnotatedLocker();
    AnnotatedLocker(const AnnotatedLocker&) = delete;
    AnnotatedLocker& operator=(const AnnotatedLocker&) = delete;

    // Unlocks before the end of the scope (once).
    void unlock();

    // The same for a lock taken without waiting; true when it was taken.
    static bool tryLock(QMutex* mutex);
    static void unlock(QMutex* mutex);

private:
    QMutex* mutex;
    bool locked;
};
