#include "ReferenceMatcher.h"

#include "app/ControlWidget.h"
#include "items/BinItem.h"
#include "model/GlyphStore.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ParseNode.h"
#include "patterns/RuleMatcher.h"

#include <QDebug>

#include <utility>
#include <vector>

namespace referencematcher {

namespace {

const THash<QString, int>* attributeMap(const RuleMatcher& matcher)
{
    static const THash<QString, int> none;
    if (matcher.controller && matcher.controller->glyphStore)
        return &matcher.controller->glyphStore->attributeColumns;
    return &none;
}

// Whether a match may start at the item with the label: any label but a
// glyph leaf, or a leaf whose names fit the item (its condition aside).
bool mayStart(RuleMatcher& matcher, BinItem* item, const ParseNode* label)
{
    if (label->type != ParseNode::Leaf)
        return true;
    BinItem names = label->glyph;
    names.condition = nullptr;
    return matcher.matchGlyph(item, &names, attributeMap(matcher), nullptr);
}

}  // namespace

TList<BinItem*> matchFrom(RuleMatcher& matcher, int start, const TList<BinItem*>& sequence,
                          Automaton* automaton, bool stopAtFirst)
{
    TList<BinItem*> best;
    if (!automaton || start < 0)
        return best;
    const THash<QString, int>* attributes = attributeMap(matcher);

    std::vector<Node> states;
    std::vector<TList<BinItem*>> paths;
    std::vector<THash<QString, TVariant>> bindings;
    states.push_back(automaton->start());
    paths.emplace_back();
    bindings.emplace_back();

    std::vector<std::pair<Node, bool>> taken;
    int budget = RuleMatcher::StepBudget;
    const int length = sequence.size();
    for (;;) {
        const Node state = states.back();
        states.pop_back();
        TList<BinItem*> path = std::move(paths.back());
        paths.pop_back();
        THash<QString, TVariant> bound = std::move(bindings.back());
        bindings.pop_back();

        const int position = start + path.size();
        if (position < length) {
            BinItem* item = sequence.at(position);
            taken.clear();
            for (Edge* edge : automaton->outEdges(state)) {
                THash<QString, TVariant> copy = bound;
                THash<QString, TVariant>* use = edge->label->ignoreBindings ? nullptr : &copy;
                if (matcher.evalLabel(item, edge->label, attributes, use)) {
                    bindings.push_back(std::move(copy));
                    taken.emplace_back(edge->to, edge->label->type == ParseNode::Epsilon);
                }
            }
            if (taken.size() > 1 && !nfaReported.exchange(true))
                qDebug().noquote() << "nfa detected";
            for (const auto& next : taken) {
                TList<BinItem*> extended = path;
                if (!next.second)
                    extended.append(item);
                const bool accepted = automaton->accepting.contains(next.first);
                if (accepted && stopAtFirst)
                    return extended;
                if (accepted && extended.size() > best.size())
                    best = extended;
                paths.push_back(std::move(extended));
                states.push_back(next.first);
            }
        }
        if (states.empty())
            break;
        if (--budget == 0) {
            qDebug().noquote() << "timeout for matching sequence";
            break;
        }
    }
    return best;
}

TList<TList<BinItem*>> findMatches(RuleMatcher& matcher, Automaton* automaton, const TList<BinItem*>& sequence,
                                   bool stopAtFirst, bool wholeSequence)
{
    TList<TList<BinItem*>> result;
    if (!automaton || automaton->isEmpty())
        return result;
    const QList<Edge*> startEdges = automaton->outEdges(automaton->start());
    int i = 0;
    while (i < sequence.size()) {
        BinItem* item = sequence.at(i);
        bool open = false;
        for (int e = 0; !open && e < startEdges.size(); ++e)
            open = mayStart(matcher, item, startEdges.at(e)->label);
        if (!open) {
            ++i;
            continue;
        }
        qDebug().noquote() << "matching" << i;
        TList<BinItem*> match = matchFrom(matcher, i, sequence, automaton, stopAtFirst);
        if (match.isEmpty()) {
            ++i;
        } else if (wholeSequence) {
            result.append(sequence);
            return result;
        } else {
            i += match.size();
            result.append(std::move(match));
        }
    }
    return result;
}

}  // namespace referencematcher
