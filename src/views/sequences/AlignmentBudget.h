#pragma once

#include <QtGlobal>

#include <functional>

// What one multiple sequence alignment may spend, and where it reports its
// progress. The alignment and the sequence view's rows and states built
// from its result grow with the number of sequences times the aligned
// width (every position of a row has its entries in the view's arrays,
// every state of the view its entries and its cell's geometry; prefix keys
// are made only when asked for, and the gaps are one item), so the
// alignment is checked against the
// memory the process can spare: before it starts, before every merge along
// the guide tree (the widths reached so far bound the result from below)
// and, exactly, before its rows are written out. A check that fails throws
// AlignmentBudget::Stopped; so does a cancelled progress report.
//
// Used on the thread that runs the alignment (the GUI thread).
class AlignmentBudget
{
public:
    enum Phase { Clustering, Aligning, LayingOut };
    enum Reason { Cancelled, OutOfMemory };
    struct Stopped
    {
        Reason reason;
        qint64 needed;   // bytes; for OutOfMemory
        qint64 limit;
        bool atLeast;    // needed is a lower bound (the alignment was under way)
        Phase phase;     // Clustering: stopped before anything was computed
    };

    explicit AlignmentBudget(qint64 limit);

    // Bytes an alignment may use: three quarters of the memory available
    // to the process (the system's available memory, within its address
    // space limit), or the override when one is set.
    static qint64 memoryLimit();
    // Tests: a limit of their own; 0 goes back to the machine's.
    static void setLimitOverride(qint64 bytes);
    // Tests: the report-th progress report of phase from now on (0 the
    // next) fails as an allocation that ran out of memory would; a
    // negative report fails none. checkFailure is called by the receiver
    // of the reports.
    static void setAllocationFailure(Phase phase, int report);
    static void checkFailure(Phase phase);

    // Called at the start of each phase (done 0), every so often while the
    // guide tree is built and after every merge; returning false cancels
    // the alignment.
    std::function<bool(Phase phase, int done, int total)> progress;

    // Before the guide tree is built: n sequences holding `glyphs` glyphs,
    // the longest `longest` long.
    void start(qint64 sequences, qint64 glyphs, qint64 longest);
    // Progress of the guide tree: done of total steps.
    void clustering(int done, int total);
    // Before a merge of profiles of widths a and b; `total` is the number
    // of merges of the whole walk.
    void beforeMerge(qint64 a, qint64 b, int total);
    // After a merge.
    void merged();
    // A profile on the way, `width` wide, whose rows alone make `states`
    // states in the view: the result needs at least as much.
    void reached(qint64 width, qint64 states);
    // Work after the merges, before the rows: reports the merges again.
    void stillAligning();
    // Before the aligned rows (n rows of `width` columns) are written out:
    // the view will hold `states` states.
    void beforeRows(qint64 width, qint64 states);
    // While the rows are written out and laid out: reports that phase.
    void layingOut();

    // Bytes of an aligned result as the view holds it: the rows, the view's
    // arrays over the rows and its states.
    qint64 resultBytes(qint64 width, qint64 states) const;
    // Bytes of the guide tree's distance table.
    static qint64 clusteringBytes(qint64 sequences);

    qint64 limit;
    qint64 sequences = 0;
    qint64 glyphs = 0;
    // The bytes of the last check: after a completed alignment, the
    // estimate of its rows and of the view's states.
    qint64 needed = 0;
    // The states of the view that the last layout check counted.
    qint64 states = 0;

private:
    void require(qint64 bytes, bool atLeast, Phase phase);
    void report(Phase phase, int done, int total);

    int mergesDone = 0;
    int merges = 0;
    bool walking = false;
};
