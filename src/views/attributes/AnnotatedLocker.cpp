#include "views/attributes/AnnotatedLocker.h"

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
#define LUMIVANE_ANNOTATE_LOCKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LUMIVANE_ANNOTATE_LOCKS 1
#endif
#endif

#ifdef LUMIVANE_ANNOTATE_LOCKS
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace {

void acquired(QMutex* mutex)
{
#ifdef LUMIVANE_ANNOTATE_LOCKS
    __tsan_acquire(mutex);
#else
    Q_UNUSED(mutex);
#endif
}

void releasing(QMutex* mutex)
{
#ifdef LUMIVANE_ANNOTATE_LOCKS
    __tsan_release(mutex);
#else
    Q_UNUSED(mutex);
#endif
}

} // namespace

AnnotatedLocker::AnnotatedLocker(QMutex* mutex)
    : mutex(mutex)
    , locked(true)
{
    mutex->lock();
    acquired(mutex);
}

AnnotatedLocker::~AnnotatedLocker()
{
    unlock();
}

void AnnotatedLocker::unlock()
{
    if (!locked)
        return;
    locked = false;
    unlock(mutex);
}

bool AnnotatedLocker::tryLock(QMutex* mutex)
{
    if (!mutex->tryLock())
        return false;
    acquired(mutex);
    return true;
}

void AnnotatedLocker::unlock(QMutex* mutex)
{
    releasing(mutex);
    mutex->unlock();
}
