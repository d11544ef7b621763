#pragma once

#include <QList>
#include <QString>

#include <atomic>
#include <utility>
#include <vector>

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

class Automaton;
class BinItem;
class ControlWidget;
class Edge;
class ParseNode;

// Whether "nfa detected" has been written; cleared by the matrix cells around
// each row. Matchers on several threads share it, hence atomic.
extern std::atomic<bool> nfaReported;

// Matches patterns against glyph sequences: one item against a glyph or an
// edge label, and a deterministic automaton along a sequence. Each client
// builds its own matcher; it keeps nothing between calls. Matchers on
// several threads may match at once, over the same automaton too, as long
// as nothing changes the automaton, the items or the glyph store meanwhile:
// they only read what they are given.
class RuleMatcher
{
public:
    // Search steps one matchFrom() call may take.
    static const int StepBudget = 1000;

    explicit RuleMatcher(ControlWidget* controller);

    // The deterministic automaton of the precondition; the rewrite plays no
    // part. The caller owns the result.
    Automaton* compile(ParseNode* pre, ParseNode* post);

    bool matchGlyph(const BinItem* item, const BinItem* glyph, const THash<QString, int>* attributes,
                    THash<QString, TVariant>* bindings);
    bool evalLabel(const BinItem* item, const ParseNode* label, const THash<QString, int>* attributes,
                   THash<QString, TVariant>* bindings);

    // The match starting at `start` (longest, or the first found with
    // stopAtFirst), empty when there is none or the step budget ran out
    // before one was accepted.
    TList<BinItem*> matchFrom(int start, const TList<BinItem*>& sequence, Automaton* automaton,
                              bool stopAtFirst);
    // The non-overlapping matches from left to right; with wholeSequence the
    // first match yields the whole sequence as the only result.
    // Writes "matching" and the position for every position a search
    // starts at.
    TList<TList<BinItem*>> findMatches(Automaton* automaton, const TList<BinItem*>& sequence,
                                       bool stopAtFirst, bool wholeSequence);
    // The runs a rule rewrites: the same matches as findMatches(), as
    // (start, length) in sequence order, without a line per position.
    std::vector<std::pair<int, int>> matchRuns(const Automaton* automaton, const TList<BinItem*>& sequence,
                                               bool stopAtFirst);
    // How many of the edges, the edges from the start state of an automaton
    // that matches single items (Automaton::matchesSingleItems), hold for the
    // item: a match of that automaton from the item is the item alone when
    // one does, and there is none otherwise. Evaluated as matchFrom() takes
    // its first step.
    int edgesHolding(const BinItem* item, const QList<Edge*>& edges, const THash<QString, int>* attributes);
    // The comparison of a label that holds for an item exactly when each
    // event of the item satisfies it, for an item of one event, whatever
    // the item's names: a "WildCard" leaf without stacked glyphs, not an
    // exact combination, whose condition is a plain equality
    // (ParseNode::isPlainEquality) and whose quantifier is one of 0 to 3.
    // Null for any other label.
    static const ParseNode* plainCondition(const ParseNode* label);

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
    // The matches from left to right as (start, length), only the first
    // with firstOnly.
    std::vector<std::pair<int, int>> runs(const Automaton* automaton, const TList<BinItem*>& sequence,
                                          bool stopAtFirst, bool firstOnly, bool logPositions);
    const THash<QString, int>* attributeMap() const;

    // What a label binds on the first step, reused from call to call.
    THash<QString, TVariant> scratchBindings;
};
