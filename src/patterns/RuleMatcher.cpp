#include "patterns/RuleMatcher.h"

// The matcher reads the attribute columns through the controller it is given.
#include "app/ControlWidget.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "items/BinItem.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ParseNode.h"

#include <QDebug>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

std::atomic<bool> nfaReported{false};

namespace {

const QString WILDCARD = QStringLiteral("WildCard");

bool hasChildNamed(const BinItem* item, const QString& name)
{
    for (const BinItem& child : item->children)
        if (child.name == name)
            return true;
    return false;
}

}  // namespace

RuleMatcher::RuleMatcher(ControlWidget* controller)
    : controller(controller)
{
}

Automaton* RuleMatcher::compile(ParseNode* pre, ParseNode* post)
{
    Q_UNUSED(post);
    return Automaton::build(pre);
}

const THash<QString, int>* RuleMatcher::attributeMap() const
{
    static const THash<QString, int> none;
    if (controller && controller->glyphStore)
        return &controller->glyphStore->attributeColumns;
    return &none;
}

bool RuleMatcher::namesMatch(const BinItem* item, const BinItem* glyph)
{
    if (glyph->mode == NONE) {
        QStringList have{item->name};
        for (const BinItem& child : item->children)
            have.append(child.name);
        QStringList want;
        for (const BinItem& child : glyph->children)
            want.append(child.name);
        have.sort();
        want.sort();
        if (have != want)
            return false;
    }
    if (glyph->children.isEmpty())
        return item->name == glyph->name || glyph->name == WILDCARD || hasChildNamed(item, glyph->name);
    for (const BinItem& wanted : glyph->children)
        if (wanted.name != WILDCARD && !hasChildNamed(item, wanted.name))
            return false;
    return true;
}

bool RuleMatcher::matchGlyph(BinItem* item, BinItem* glyph, const THash<QString, int>* attributes,
                             THash<QString, TVariant>* bindings)
{
    if (!namesMatch(item, glyph))
        return false;
    const ParseNode* condition = glyph->condition;
    if (!condition)
        return true;
    const auto& events = item->packets;
    switch (glyph->quantifier) {
    case 0:
        for (const QSharedPointer<Packet>& event : events)
            if (!condition->evaluate(event.data(), attributes, bindings))
                return false;
        return true;
    case 1:
        for (const QSharedPointer<Packet>& event : events)
            if (condition->evaluate(event.data(), attributes, bindings))
                return true;
        return false;
    case 2:
        // An item without events has no first or last event to satisfy it.
        return !events.isEmpty() && condition->evaluate(events.first().data(), attributes, bindings);
    case 3:
        return !events.isEmpty() && condition->evaluate(events.last().data(), attributes, bindings);
    default:
        return false;
    }
}

bool RuleMatcher::evalLabel(BinItem* item, ParseNode* label, const THash<QString, int>* attributes,
                            THash<QString, TVariant>* bindings)
{
    switch (label->type) {
    case ParseNode::Leaf:
        return matchGlyph(item, &label->glyph, attributes, bindings);
    case ParseNode::Epsilon:
        qDebug().noquote() << "should not be present in dfa";
        return true;
    case ParseNode::And:
        for (ParseNode* child : label->children)
            if (!evalLabel(item, child, attributes, bindings))
                return false;
        return true;
    case ParseNode::Or:
        for (ParseNode* child : label->children)
            if (evalLabel(item, child, attributes, bindings))
                return true;
        return false;
    case ParseNode::Not:
        // A negation of nothing holds for nothing.
        return !label->children.isEmpty() && !evalLabel(item, label->children.first(), attributes, bindings);
    case ParseNode::Test:
        qDebug().noquote() << "Regexpr not allowed";
        return false;
    default:
        return false;
    }
}

TList<BinItem*> RuleMatcher::matchFrom(int start, const TList<BinItem*>& sequence, Automaton* automaton,
                                       bool stopAtFirst)
{
    TList<BinItem*> best;
    if (!automaton || start < 0)
        return best;
    const THash<QString, int>* attributes = attributeMap();

    // Three parallel stacks, top at the back.
    std::vector<Node> states;
    std::vector<TList<BinItem*>> paths;
    std::vector<THash<QString, TVariant>> bindings;
    states.push_back(automaton->start());
    paths.emplace_back();
    bindings.emplace_back();

    std::vector<std::pair<Node, bool>> taken;
    int budget = StepBudget;
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
            const auto out = automaton->outgoing.constFind(state);
            if (out != automaton->outgoing.constEnd()) {
                for (Edge* edge : *out) {
                    THash<QString, TVariant> copy = bound;
                    // The complement label must not bind variables.
                    THash<QString, TVariant>* use = edge->label->ignoreBindings ? nullptr : &copy;
                    if (evalLabel(item, edge->label, attributes, use)) {
                        bindings.push_back(std::move(copy));
                        taken.emplace_back(edge->to, edge->label->type == ParseNode::Epsilon);
                    }
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

bool RuleMatcher::mayStart(const BinItem* item, const ParseNode* label)
{
    // Negations, the complement and condition groups may hold for any item;
    // a glyph leaf can only hold where its names do.
    if (label->type != ParseNode::Leaf)
        return true;
    return namesMatch(item, &label->glyph);
}

TList<TList<BinItem*>> RuleMatcher::findMatches(Automaton* automaton, const TList<BinItem*>& sequence,
                                                bool stopAtFirst, bool wholeSequence)
{
    TList<TList<BinItem*>> result;
    if (!automaton || automaton->isEmpty())
        return result;
    const QList<Edge*> startEdges = automaton->outEdges(automaton->start());
    bool alwaysOpen = false;
    for (const Edge* edge : startEdges)
        alwaysOpen = alwaysOpen || edge->label->type != ParseNode::Leaf;

    int i = 0;
    while (i < sequence.size()) {
        BinItem* item = sequence.at(i);
        bool open = alwaysOpen;
        for (int e = 0; !open && e < startEdges.size(); ++e)
            open = mayStart(item, startEdges.at(e)->label);
        if (!open) {
            ++i;
            continue;
        }
        qDebug().noquote() << "matching" << i;
        TList<BinItem*> match = matchFrom(i, sequence, automaton, stopAtFirst);
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
