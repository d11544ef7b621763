#pragma once

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QString>

class Automaton;
class BinItem;
class RuleMatcher;

// The search of a pattern along a glyph sequence as the matcher made it
// before it kept paths by their length and shared bindings: three stacks of
// states, paths and bindings, each path and binding copied at every edge
// taken, the same debug lines. The labels are tested by the matcher given.
// Tests hold the matcher and the searches built on it to these results.
namespace referencematcher {

TList<BinItem*> matchFrom(RuleMatcher& matcher, int start, const TList<BinItem*>& sequence,
                          Automaton* automaton, bool stopAtFirst);
TList<TList<BinItem*>> findMatches(RuleMatcher& matcher, Automaton* automaton, const TList<BinItem*>& sequence,
                                   bool stopAtFirst, bool wholeSequence);

}  // namespace referencematcher
