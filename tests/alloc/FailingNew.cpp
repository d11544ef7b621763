#include "FailingNew.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>
#include <new>

#include <link.h>

namespace {

// Shared by every thread: once armed, the allocations of all threads are
// counted, and the n-th of them, whichever thread makes it, fails. Plain
// atomics, constant-initialised: reading them never allocates.
std::atomic<long> target{0};   // 0: not armed
std::atomic<long> seen{0};
std::atomic<bool> reached{false};
// FAILINGNEW_TRACE set: the stack of every failed allocation goes to stderr.
std::atomic<bool> trace{false};

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

// The code of the spared libraries, [start, end) each; filled before any
// thread reads it, never changed after.
struct Range
{
    const char* start;
    const char* end;
};
constexpr int MAX_SPARED = 32;
Range spared[MAX_SPARED];
std::atomic<int> sparedCount{0};

bool isSpared(const void* caller)
{
    const char* at = static_cast<const char*>(caller);
    const int count = sparedCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        if (at >= spared[i].start && at < spared[i].end)
            return true;
    }
    return false;
}

// True when this allocation is the one to fail.
bool failsNow(const void* caller)
{
    long armed = target.load(std::memory_order_acquire);
    if (armed <= 0)
        return false;
    if (caller && isSpared(caller))
        return false;
    const long count = seen.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count != armed)
        return false;
    if (insideQtWidgetConstruction()) {
        // The next allocation counted, on any thread, fails instead.
        target.compare_exchange_strong(armed, armed + 1, std::memory_order_acq_rel);
        return false;
    }
    if (!target.compare_exchange_strong(armed, 0, std::memory_order_acq_rel))
        return false;
    reached.store(true, std::memory_order_release);
    if (trace.load(std::memory_order_relaxed)) {
        void* frames[64];
        const int depth = backtrace(frames, 64);
        static const char line[] = "failingnew: the armed allocation fails here\n";
        (void)!write(2, line, sizeof line - 1);
        backtrace_symbols_fd(frames, depth, 2);
    }
    return true;
}

void* allocate(std::size_t size, const void* caller)
{
    if (failsNow(caller))
        throw std::bad_alloc();
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* allocateAligned(std::size_t size, std::align_val_t align, const void* caller)
{
    if (failsNow(caller))
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
    target.store(0, std::memory_order_release);
    seen.store(0, std::memory_order_relaxed);
    reached.store(false, std::memory_order_relaxed);
    trace.store(std::getenv("FAILINGNEW_TRACE") != nullptr, std::memory_order_relaxed);
    target.store(n > 0 ? n : 0, std::memory_order_release);
}

bool disarm()
{
    target.store(0, std::memory_order_release);
    return reached.load(std::memory_order_acquire);
}

long counted()
{
    return seen.load(std::memory_order_relaxed);
}

bool spareCallersIn(const char* name)
{
    struct Search
    {
        const char* name;
        bool found;
    } search{name, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            if (!info->dlpi_name || !std::strstr(info->dlpi_name, search->name))
                return 0;
            search->found = true;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const int count = sparedCount.load(std::memory_order_relaxed);
                if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X) || count >= MAX_SPARED)
                    continue;
                const char* start = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
                spared[count] = {start, start + segment.p_memsz};
                sparedCount.store(count + 1, std::memory_order_release);
            }
            return 0;
        },
        &search);
    return search.found;
}

} // namespace failingnew

void* operator new(std::size_t size)
{
    return allocate(size, __builtin_return_address(0));
}

void* operator new[](std::size_t size)
{
    return allocate(size, __builtin_return_address(0));
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size, __builtin_return_address(0));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size, __builtin_return_address(0));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new(std::size_t size, std::align_val_t align)
{
    return allocateAligned(size, align, __builtin_return_address(0));
}

void* operator new[](std::size_t size, std::align_val_t align)
{
    return allocateAligned(size, align, __builtin_return_address(0));
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
