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
#include <QLoggingCategory>
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

bool RuleMatcher::matchGlyph(const BinItem* item, const BinItem* glyph, const THash<QString, int>* attributes,
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

// Labels are shared by the matchers of several threads: they are read only
// through const access, which leaves their lists as they are.
bool RuleMatcher::evalLabel(const BinItem* item, const ParseNode* label, const THash<QString, int>* attributes,
                            THash<QString, TVariant>* bindings)
{
    switch (label->type) {
    case ParseNode::Leaf:
        return matchGlyph(item, &label->glyph, attributes, bindings);
    case ParseNode::Epsilon:
        qDebug().noquote() << "should not be present in dfa";
        return true;
    case ParseNode::And:
        for (const ParseNode* child : label->children)
            if (!evalLabel(item, child, attributes, bindings))
                return false;
        return true;
    case ParseNode::Or:
        for (const ParseNode* child : label->children)
            if (evalLabel(item, child, attributes, bindings))
                return true;
        return false;
    case ParseNode::Not:
        // A negation of nothing holds for nothing.
        return !label->children.isEmpty() && !evalLabel(item, label->children.constFirst(), attributes, bindings);
    case ParseNode::Test:
        qDebug().noquote() << "Regexpr not allowed";
        return false;
    default:
        return false;
    }
}

namespace {

// One entry of the search stack. A path from `start` consumes the items
// start, start + 1, ... one by one (an epsilon step consumes nothing), so
// its length says which items it holds. Its bindings are an index into the
// bindings made during the call, or -1 for none: bindings only grow while a
// label is evaluated and never change once made, so paths share them.
struct Branch
{
    Node state;
    int length;
    int bound;
};

// The search stack and the edges taken from one state, kept per thread so
// that a call allocates nothing for them; a call never runs inside another
// on the same thread.
struct SearchScratch
{
    std::vector<Branch> stack;
    // Here `length` is what the step consumes: 1, or 0 for an epsilon step.
    std::vector<Branch> taken;
};

SearchScratch& searchScratch()
{
    thread_local SearchScratch scratch;
    return scratch;
}

// "matching" and the position: a line for every position a search starts
// at, formatted only when debug lines of the default category are wanted.
void logMatching(int position)
{
    const QLoggingCategory* category = QLoggingCategory::defaultCategory();
    if (category && category->isDebugEnabled())
        qDebug("matching %d", position);
}

// Whether a label reads the events of the item it is tested on: a glyph
// with a condition somewhere in it.
bool readsEvents(const ParseNode* label)
{
    if (label->type == ParseNode::Leaf)
        return label->glyph.condition != nullptr;
    for (const ParseNode* child : label->children)
        if (readsEvents(child))
            return true;
    return false;
}

}  // namespace

// The events lie scattered over the memory of the log, and each is a long
// wait for the memory when it is read where it is needed. Read one after
// the other in a short loop, the first events of the next few items are
// fetched side by side instead: their records first, then the positions of
// their values.
int RuleMatcher::readAhead(const TList<BinItem*>& sequence, int from)
{
    constexpr std::size_t AHEAD = ReadAhead;
    from = std::max(from, 0);
    const std::size_t end = std::min(sequence.items.size(), std::size_t(from) + AHEAD);
    const Packet* events[AHEAD];
    std::size_t count = 0;
    for (std::size_t k = std::size_t(from); k < end; ++k) {
        const BinItem* item = sequence.items[k];
        const Packet* event = item && !item->packets.items.empty() ? item->packets.items.front().data() : nullptr;
        if (event)
            events[count++] = event;
    }
    quintptr sum = 0;
    for (std::size_t k = 0; k < count; ++k)
        sum += quintptr(events[k]->tablePositions()) + quintptr(events[k]->presentCount);
    for (std::size_t k = 0; k < count; ++k) {
        const quint32* positions = events[k]->tablePositions();
        const int present = events[k]->presentCount;
        if (positions && present > 0)
            sum += positions[0] + positions[present - 1];
    }
    // Kept, so that the reads are made.
    volatile quintptr kept = sum;
    Q_UNUSED(kept);
    return int(end);
}

TList<BinItem*> RuleMatcher::matchFrom(int start, const TList<BinItem*>& sequence, Automaton* automaton,
                                       bool stopAtFirst)
{
    TList<BinItem*> match;
    if (!automaton || start < 0)
        return match;
    const int length = matchLength(start, sequence, automaton, stopAtFirst);
    if (length > 0)
        match.items.assign(sequence.items.begin() + start, sequence.items.begin() + start + length);
    return match;
}

int RuleMatcher::matchLength(int start, const TList<BinItem*>& sequence, const Automaton* automaton,
                             bool stopAtFirst)
{
    const THash<QString, int>* attributes = attributeMap();
    SearchScratch& scratch = searchScratch();
    std::vector<Branch>& stack = scratch.stack;
    std::vector<Branch>& taken = scratch.taken;
    stack.clear();
    stack.push_back(Branch{automaton->start(), 0, -1});
    // The bindings of the call; `fresh` receives what a label binds on a
    // path that had bound nothing yet.
    std::vector<THash<QString, TVariant>> bound;
    THash<QString, TVariant> fresh;

    int best = 0;
    int budget = StepBudget;
    const int size = sequence.size();
    for (;;) {
        const Branch branch = stack.back();
        stack.pop_back();

        const int position = start + branch.length;
        if (position < size) {
            const BinItem* item = sequence.items[std::size_t(position)];
            taken.clear();
            const auto out = automaton->outgoing.constFind(branch.state);
            if (out != automaton->outgoing.constEnd()) {
                for (const Edge* edge : *out) {
                    const ParseNode* label = edge->label;
                    int binding = branch.bound;
                    bool holds = false;
                    if (label->ignoreBindings) {
                        // The complement label must not bind variables.
                        holds = evalLabel(item, label, attributes, nullptr);
                    } else if (branch.bound < 0) {
                        if (!fresh.isEmpty())
                            fresh.clear();
                        holds = evalLabel(item, label, attributes, &fresh);
                        if (holds && !fresh.isEmpty()) {
                            bound.push_back(std::move(fresh));
                            fresh = THash<QString, TVariant>();
                            binding = int(bound.size()) - 1;
                        }
                    } else {
                        THash<QString, TVariant> copy = bound[std::size_t(branch.bound)];
                        const int before = copy.size();
                        holds = evalLabel(item, label, attributes, &copy);
                        if (holds && copy.size() != before) {
                            bound.push_back(std::move(copy));
                            binding = int(bound.size()) - 1;
                        }
                    }
                    if (holds)
                        taken.push_back(Branch{edge->to, label->type == ParseNode::Epsilon ? 0 : 1, binding});
                }
            }
            if (taken.size() > 1 && !nfaReported.exchange(true))
                qDebug().noquote() << "nfa detected";
            for (const Branch& next : taken) {
                const int extended = branch.length + next.length;
                const bool accepted = automaton->accepting.contains(next.state);
                if (accepted && stopAtFirst)
                    return extended;
                if (accepted && extended > best)
                    best = extended;
                stack.push_back(Branch{next.state, extended, next.bound});
            }
        }
        if (stack.empty())
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

std::vector<std::pair<int, int>> RuleMatcher::runs(const Automaton* automaton, const TList<BinItem*>& sequence,
                                                   bool stopAtFirst, bool firstOnly, bool logPositions)
{
    std::vector<std::pair<int, int>> found;
    if (!automaton || automaton->isEmpty())
        return found;
    const QList<Edge*> startEdges = automaton->outEdges(automaton->start());
    bool alwaysOpen = false;
    bool conditions = false;
    for (const Edge* edge : startEdges) {
        alwaysOpen = alwaysOpen || edge->label->type != ParseNode::Leaf;
        conditions = conditions || readsEvents(edge->label);
    }

    int i = 0;
    int read = 0;
    while (i < sequence.size()) {
        if (conditions && i >= read)
            read = readAhead(sequence, i);
        const BinItem* item = sequence.at(i);
        bool open = alwaysOpen;
        for (int e = 0; !open && e < startEdges.size(); ++e)
            open = mayStart(item, startEdges.at(e)->label);
        if (!open) {
            ++i;
            continue;
        }
        if (logPositions)
            logMatching(i);
        const int matched = matchLength(i, sequence, automaton, stopAtFirst);
        if (matched == 0) {
            ++i;
            continue;
        }
        found.emplace_back(i, matched);
        if (firstOnly)
            break;
        i += matched;
    }
    return found;
}

TList<TList<BinItem*>> RuleMatcher::findMatches(Automaton* automaton, const TList<BinItem*>& sequence,
                                                bool stopAtFirst, bool wholeSequence)
{
    TList<TList<BinItem*>> result;
    const std::vector<std::pair<int, int>> found = runs(automaton, sequence, stopAtFirst, wholeSequence, true);
    if (wholeSequence) {
        if (!found.empty())
            result.append(sequence);
        return result;
    }
    result.items.reserve(found.size());
    for (const std::pair<int, int>& run : found) {
        TList<BinItem*> match;
        match.items.assign(sequence.items.begin() + run.first, sequence.items.begin() + run.first + run.second);
        result.append(std::move(match));
    }
    return result;
}

std::vector<std::pair<int, int>> RuleMatcher::matchRuns(const Automaton* automaton, const TList<BinItem*>& sequence,
                                                        bool stopAtFirst)
{
    return runs(automaton, sequence, stopAtFirst, false, false);
}

const ParseNode* RuleMatcher::plainCondition(const ParseNode* label)
{
    if (!label || label->type != ParseNode::Leaf)
        return nullptr;
    const BinItem& glyph = label->glyph;
    if (glyph.mode == NONE || !glyph.children.isEmpty() || glyph.name != WILDCARD)
        return nullptr;
    if (glyph.quantifier < 0 || glyph.quantifier > 3 || !glyph.condition || !glyph.condition->isPlainEquality())
        return nullptr;
    return glyph.condition;
}

int RuleMatcher::edgesHolding(const BinItem* item, const QList<Edge*>& edges, const THash<QString, int>* attributes)
{
    int holding = 0;
    for (const Edge* edge : edges) {
        const ParseNode* label = edge->label;
        if (label->ignoreBindings) {
            holding += evalLabel(item, label, attributes, nullptr) ? 1 : 0;
        } else {
            // Each edge binds afresh, as on a path that has bound nothing.
            if (!scratchBindings.isEmpty())
                scratchBindings.clear();
            holding += evalLabel(item, label, attributes, &scratchBindings) ? 1 : 0;
        }
    }
    return holding;
}
