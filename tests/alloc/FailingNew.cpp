#include "FailingNew.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>
#include <new>

namespace {

// Plain thread-locals, constant-initialised: reading them never allocates.
thread_local long target = 0;   // 0: not armed
thread_local long seen = 0;
thread_local bool reached = false;
// FAILINGNEW_TRACE set: the stack of every failed allocation goes to stderr.
thread_local bool trace = false;

// Whether the allocation is made inside Qt's constructor of a widget. That
// constructor does not survive a failure of its own allocations: the
// widget stays in Qt's list of every widget after its memory has gone, and
// Qt reads it there later (at the latest when the application object
// goes). Nothing outside Qt can make that sound, so such an allocation is
// not failed: the next one is.
bool insideQtWidgetConstruction()
{
    void* frames[48];
    const int depth = backtrace(frames, 48);
    for (int i = 2; i < depth; ++i) {
        Dl_info info;
        if (dladdr(frames[i], &info) && info.dli_sname
            && std::strncmp(info.dli_sname, "_ZN14QWidgetPrivate4init", 24) == 0)
            return true;
    }
    return false;
}

// True when this allocation is the one to fail.
bool failsNow()
{
    if (target <= 0)
        return false;
    if (++seen < target)
        return false;
    if (insideQtWidgetConstruction()) {
        ++target;
        return false;
    }
    target = 0;
    reached = true;
    if (trace) {
        void* frames[64];
        const int depth = backtrace(frames, 64);
        static const char line[] = "failingnew: the armed allocation fails here\n";
        (void)!write(2, line, sizeof line - 1);
        backtrace_symbols_fd(frames, depth, 2);
    }
    return true;
}

void* allocate(std::size_t size)
{
    if (failsNow())
        throw std::bad_alloc();
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* allocateAligned(std::size_t size, std::align_val_t align)
{
    if (failsNow())
        throw std::bad_alloc();
    void* p = nullptr;
    const std::size_t a = std::max(std::size_t(align), sizeof(void*));
    if (posix_memalign(&p, a, size ? size : 1) != 0)
        throw std::bad_alloc();
    return p;
}

} // namespace

namespace failingnew {

void failAt(long n)
{
    seen = 0;
    reached = false;
    trace = std::getenv("FAILINGNEW_TRACE") != nullptr;
    target = n > 0 ? n : 0;
}

bool disarm()
{
    target = 0;
    return reached;
}

long counted()
{
    return seen;
}

} // namespace failingnew

void* operator new(std::size_t size)
{
    return allocate(size);
}

void* operator new[](std::size_t size)
{
    return allocate(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new(std::size_t size, std::align_val_t align)
{
    return allocateAligned(size, align);
}

void* operator new[](std::size_t size, std::align_val_t align)
{
    return allocateAligned(size, align);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::align_val_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::align_val_t) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
