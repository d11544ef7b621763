#pragma once

#include <QString>

#include <atomic>

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

class Automaton;
class BinItem;
class ControlWidget;
class ParseNode;

// Whether "nfa detected" has been written; cleared by the matrix cells around
// each row. Matchers on several threads share it, hence atomic.
extern std::atomic<bool> nfaReported;

// Matches patterns against glyph sequences: one item against a glyph or an
// edge label, and a deterministic automaton along a sequence. Each client
// builds its own matcher; it keeps nothing between calls. Matchers on
// several threads may match at once, over the same automaton too, as long
// as nothing changes the automaton, the items or the glyph store meanwhile.
class RuleMatcher
{
public:
    // Search steps one matchFrom() call may take.
    static const int StepBudget = 1000;

    explicit RuleMatcher(ControlWidget* controller);

    // The deterministic automaton of the precondition; the rewrite plays no
    // part. The caller owns the result.
    Automaton* compile(ParseNode* pre, ParseNode* post);

    bool matchGlyph(BinItem* item, BinItem* glyph, const THash<QString, int>* attributes,
                    THash<QString, TVariant>* bindings);
    bool evalLabel(BinItem* item, ParseNode* label, const THash<QString, int>* attributes,
                   THash<QString, TVariant>* bindings);

    // The match starting at `start` (longest, or the first found with
    // stopAtFirst), empty when there is none or the step budget ran out
    // before one was accepted.
    TList<BinItem*> matchFrom(int start, const TList<BinItem*>& sequence, Automaton* automaton,
                              bool stopAtFirst);
    // The non-overlapping matches from left to right; with wholeSequence the
    // first match yields the whole sequence as the only result.
    TList<TList<BinItem*>> findMatches(Automaton* automaton, const TList<BinItem*>& sequence,
                                       bool stopAtFirst, bool wholeSequence);

    // Reads the first event of each item from `from` on, ReadAhead items at
    // once, so that testing them one by one does not wait for the memory at
    // each; returns the position up to which they were read. A caller that
    // tests the items of a sequence in turn calls it again on reaching it.
    static int readAhead(const TList<BinItem*>& sequence, int from);
    static constexpr int ReadAhead = 16;

    ControlWidget* controller = nullptr;

private:
    // The name steps of matchGlyph(): combination, own name, stacked names.
    static bool namesMatch(const BinItem* item, const BinItem* glyph);
    // Whether a match from this item may start with the edge's label: never
    // false where matchFrom() could take the edge.
    static bool mayStart(const BinItem* item, const ParseNode* label);
    // The length of the match matchFrom() gives, 0 for none.
    int matchLength(int start, const TList<BinItem*>& sequence, const Automaton* automaton, bool stopAtFirst);
    const THash<QString, int>* attributeMap() const;
};
