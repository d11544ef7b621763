#include "views/sequences/AlignmentBudget.h"

#include <QFile>

#include <algorithm>
#include <limits>
#include <new>

#if defined(Q_OS_UNIX)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

qint64 limitOverride = 0;
int failurePhase = -1;
int failureReport = -1;

// What the view spends per position of its aligned rows: the row's pointer,
// the position's state and the link to the next position of that state.
constexpr qint64 SLOT_BYTES = 24;
// A state of the view: its parent, label, name, colour, count, child and
// sibling links, first position and, while the merge runs, its last child,
// number of children and last position; its cell's top and height and its
// place in its column; at most one merged run.
constexpr qint64 STATE_BYTES = 96;
// The distance table of the guide tree: a double per pair of sequences,
// with its copies and the lists kept beside it.
constexpr qint64 PAIR_BYTES = 10;

// The first number on the line of /proc/meminfo that starts with key, in
// bytes; -1 when there is none.
qint64 meminfo(const char* key)
{
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // Read whole: files under /proc give their size as 0.
    const QByteArray prefix(key);
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.startsWith(prefix))
            continue;
        bool ok = false;
        const qint64 kb = line.mid(prefix.size()).replace("kB", "").trimmed().toLongLong(&ok);
        return ok ? kb * 1024 : -1;
    }
    return -1;
}

// A number of bytes in a file of the control group (memory.max may say
// "max"); -1 when there is none.
qint64 groupValue(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const qint64 value = file.readAll().trimmed().toLongLong(&ok);
    return ok ? value : -1;
}

qint64 availableBytes()
{
    qint64 available = meminfo("MemAvailable:");
#if defined(Q_OS_UNIX)
    const long page = sysconf(_SC_PAGESIZE);
    if (available < 0 && page > 0) {
#if defined(_SC_AVPHYS_PAGES)
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        if (pages > 0)
            available = qint64(pages) * page;
#endif
    }
    if (available < 0 && page > 0) {
        const long pages = sysconf(_SC_PHYS_PAGES);
        if (pages > 0)
            available = qint64(pages) * page / 2;
    }
    // Within the address space the process may still take.
    struct rlimit space;
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY && page > 0) {
        QFile statm(QStringLiteral("/proc/self/statm"));
        qint64 used = 0;
        if (statm.open(QIODevice::ReadOnly))
            used = statm.readAll().split(' ').value(0).toLongLong() * page;
        const qint64 left = std::max<qint64>(0, qint64(space.rlim_cur) - used);
        available = available < 0 ? left : std::min(available, left);
    }
#endif
    // Within the control group's memory limit.
    const qint64 groupMax = groupValue(QStringLiteral("/sys/fs/cgroup/memory.max"));
    if (groupMax > 0) {
        const qint64 used = std::max<qint64>(0, groupValue(QStringLiteral("/sys/fs/cgroup/memory.current")));
        const qint64 left = std::max<qint64>(0, groupMax - used);
        available = available < 0 ? left : std::min(available, left);
    }
    // Nothing known: what a small machine has.
    return available < 0 ? qint64(2) << 30 : available;
}

// a * b, or the largest qint64 where that would overflow.
qint64 times(qint64 a, qint64 b)
{
    if (a <= 0 || b <= 0)
        return 0;
    if (a > std::numeric_limits<qint64>::max() / b)
        return std::numeric_limits<qint64>::max();
    return a * b;
}

qint64 plus(qint64 a, qint64 b)
{
    return a > std::numeric_limits<qint64>::max() - b ? std::numeric_limits<qint64>::max() : a + b;
}

} // namespace

AlignmentBudget::AlignmentBudget(qint64 limit)
    : limit(limit)
{
}

qint64 AlignmentBudget::memoryLimit()
{
    if (limitOverride > 0)
        return limitOverride;
    return availableBytes() / 4 * 3;
}

void AlignmentBudget::setLimitOverride(qint64 bytes)
{
    limitOverride = std::max<qint64>(0, bytes);
}

void AlignmentBudget::setAllocationFailure(Phase phase, int report)
{
    failurePhase = report < 0 ? -1 : int(phase);
    failureReport = report;
}

void AlignmentBudget::checkFailure(Phase phase)
{
    if (failurePhase != int(phase))
        return;
    if (failureReport-- > 0)
        return;
    failurePhase = -1;
    throw std::bad_alloc();
}

qint64 AlignmentBudget::clusteringBytes(qint64 n)
{
    return times(times(n, n), PAIR_BYTES);
}

qint64 AlignmentBudget::resultBytes(qint64 width, qint64 states) const
{
    const qint64 positions = times(sequences, width);
    // The gaps are one item, whatever their number.
    return plus(times(positions, SLOT_BYTES), times(states, STATE_BYTES));
}

void AlignmentBudget::require(qint64 bytes, bool atLeast, Phase phase)
{
    needed = bytes;
    if (bytes > limit)
        throw Stopped{OutOfMemory, bytes, limit, atLeast, phase};
}

void AlignmentBudget::report(Phase phase, int done, int total)
{
    if (progress && !progress(phase, done, total))
        throw Stopped{Cancelled, 0, limit, false, phase};
}

void AlignmentBudget::start(qint64 n, qint64 glyphCount, qint64 longest)
{
    sequences = n;
    glyphs = glyphCount;
    mergesDone = 0;
    walking = false;
    // The distance table goes before the walk starts; every aligned row is
    // at least as long as the longest sequence, and the view holds a state
    // at least for every column.
    require(std::max(clusteringBytes(n), resultBytes(longest, longest)), false, Clustering);
    report(Clustering, 0, 0);
}

void AlignmentBudget::clustering(int done, int total)
{
    report(Clustering, done, total);
}

void AlignmentBudget::beforeMerge(qint64 a, qint64 b, int total)
{
    if (!walking) {
        walking = true;
        merges = total;
        report(Aligning, 0, merges);
    }
    // A merged profile is at least as wide as either part, and the result
    // at least as wide as every profile on the way; the score table of the
    // merge lives while it runs.
    const qint64 table = times(times(a + 1, b + 1), 4);
    const qint64 width = std::max(a, b);
    require(std::max(table, resultBytes(width, width)), true, Aligning);
}

void AlignmentBudget::merged()
{
    ++mergesDone;
    report(Aligning, mergesDone, std::max(mergesDone, merges));
}

void AlignmentBudget::reached(qint64 width, qint64 stateCount)
{
    states = stateCount;
    require(resultBytes(width, stateCount), true, Aligning);
}

void AlignmentBudget::stillAligning()
{
    report(Aligning, mergesDone, std::max(mergesDone, merges));
}

void AlignmentBudget::beforeRows(qint64 width, qint64 stateCount)
{
    states = stateCount;
    require(resultBytes(width, stateCount), false, LayingOut);
    report(LayingOut, 0, 0);
}

void AlignmentBudget::layingOut()
{
    report(LayingOut, 0, 0);
}
