#pragma once

// Wall-clock limits in tests guard against quadratic or runaway behaviour.
// Sanitizer builds run many times slower (and CI machines may be loaded),
// so such limits are checked only in normal builds.
namespace testsupport {

constexpr bool sanitizedBuild()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

} // namespace testsupport

// Verifies a wall-clock bound outside sanitizer builds.
#define LUMIVANE_VERIFY_TIME(elapsedMs, limitMs) \
    do { \
        if (!::testsupport::sanitizedBuild()) { \
            const auto lumivaneElapsed_ = (elapsedMs); \
            QVERIFY2(lumivaneElapsed_ < (limitMs), qPrintable(QString::number(lumivaneElapsed_))); \
        } \
    } while (0)
