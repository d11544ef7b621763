#include "patterns/Automaton.h"

#include "patterns/Edge.h"
#include "patterns/LabelRelations.h"
#include "patterns/ParseNode.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

namespace {

const QString WILDCARD = QStringLiteral("WildCard");

// The glyph "WildCard" as it stands for every item: no condition, no stack
// and not an exact combination (those match only some items).
bool isPlainWildcard(const ParseNode* label)
{
    const BinItem& glyph = label->glyph;
    return label->type == ParseNode::Leaf && glyph.name == WILDCARD && !glyph.condition
           && glyph.children.isEmpty() && glyph.mode != NONE;
}

ParseNode* rootClone(const ParseNode* node)
{
    ParseNode* copy = node->clone();
    copy->parentNode = nullptr;
    return copy;
}

// Appends a root clone of the node to the list, which owns it from then on.
void appendClone(QList<ParseNode*>& list, const ParseNode* node)
{
    std::unique_ptr<ParseNode> copy(rootClone(node));
    list.append(copy.get());
    copy.release();
}

// New nodes in a list, freed with it unless handed on by release().
struct OwnedNodes
{
    OwnedNodes() = default;
    explicit OwnedNodes(QList<ParseNode*>&& list) : nodes(std::move(list)) {}
    OwnedNodes(const OwnedNodes&) = delete;
    OwnedNodes& operator=(const OwnedNodes&) = delete;
    ~OwnedNodes() { qDeleteAll(nodes); }

    QList<ParseNode*> release()
    {
        QList<ParseNode*> out;
        out.swap(nodes);
        return out;
    }

    QList<ParseNode*> nodes;
};

}  // namespace

// Shared by one run of Thompson's construction: once a limit is hit every
// level gives up at once.
struct Automaton::Construction
{
    bool capped = false;
    qint64 work = 0;

    void fail(const QString& why)
    {
        if (!capped)
            qDebug().noquote() << why;
        capped = true;
    }
    bool tooBig(const Automaton* fragment)
    {
        if (fragment->states.size() > MaxNfaStates)
            fail(QStringLiteral("pattern too large: more than %1 states").arg(MaxNfaStates));
        return capped;
    }
};

Automaton::Automaton()
{
    std::unique_ptr<ParseNode> negation(new ParseNode(ParseNode::Not));
    std::unique_ptr<ParseNode> alternatives(new ParseNode(ParseNode::Or));
    negation->addChild(alternatives.get());
    alternatives.release();
    complement = negation.release();
}

Automaton::~Automaton()
{
    qDeleteAll(edges);
    delete complement;
    clearLabels();
}

void Automaton::addState(Node& node)
{
    // Recorded everywhere or, out of memory, nowhere.
    const Node state(nextId);
    const bool first = states.isEmpty();
    int recorded = 0;
    try {
        stateById.insert(state.id, state);
        ++recorded;
        stateList.append(state);
        ++recorded;
        incoming.insert(state, QSet<Edge*>());
        ++recorded;
        outgoing.insert(state, QList<Edge*>());
        ++recorded;
        states.insert(state);
    } catch (...) {
        if (recorded > 3)
            outgoing.remove(state);
        if (recorded > 2)
            incoming.remove(state);
        if (recorded > 1)
            stateList.removeLast();
        if (recorded > 0)
            stateById.remove(state.id);
        throw;
    }
    ++nextId;
    if (first)
        startNode = state;
    node = state;
}

void Automaton::addEdge(const Node& from, const Node& to, ParseNode* label)
{
    std::unique_ptr<ParseNode> owned(label);
    if (!owned)
        owned.reset(new ParseNode(ParseNode::Epsilon));
    std::unique_ptr<Edge> edge(new Edge(from, to, owned.get()));
    owned.release();
    Edge* const made = edge.get();

    // Out of memory, the steps taken are undone and the edge goes with its
    // label.
    const bool registered = isRegistered(made->label);
    bool added = false;
    const QString key = registered ? insertLabel(made->label, &added) : QString();
    bool counted = false;
    bool newIn = false;
    bool newOut = false;
    QSet<Edge*>* in = nullptr;
    QList<Edge*>* out = nullptr;
    try {
        if (registered) {
            ++labelUses[key];
            counted = true;
        }
        auto inIt = incoming.find(to);
        if (inIt == incoming.end()) {
            inIt = incoming.insert(to, QSet<Edge*>());
            newIn = true;
        }
        inIt->insert(made);
        in = &*inIt;
        auto outIt = outgoing.find(from);
        if (outIt == outgoing.end()) {
            outIt = outgoing.insert(from, QList<Edge*>());
            newOut = true;
        }
        outIt->append(made);
        out = &*outIt;
        edges.insert(made);
    } catch (...) {
        if (newOut)
            outgoing.remove(from);
        else if (out)
            out->removeLast();
        if (newIn)
            incoming.remove(to);
        else if (in)
            in->remove(made);
        if (counted) {
            const auto uses = labelUses.find(key);
            if (--uses.value() == 0)
                labelUses.erase(uses);
        }
        if (added)
            unregister(key);
        throw;
    }
    edge.release();
}

Node Automaton::start() const
{
    return startNode;
}

QList<Edge*> Automaton::outEdges(const Node& node) const
{
    return outgoing.value(node);
}

QSet<Edge*> Automaton::inEdges(const Node& node) const
{
    return incoming.value(node);
}

bool Automaton::isEmpty() const
{
    return states.isEmpty() && edges.isEmpty();
}

bool Automaton::matchesSingleItems() const
{
    const auto out = outgoing.constFind(startNode);
    if (out == outgoing.constEnd() || out->isEmpty())
        return false;
    for (const Edge* edge : *out) {
        if (!edge->label || edge->label->type == ParseNode::Epsilon || !accepting.contains(edge->to))
            return false;
        const auto next = outgoing.constFind(edge->to);
        if (next != outgoing.constEnd() && !next->isEmpty())
            return false;
    }
    return true;
}

void Automaton::resolveColumns(const THash<QString, int>* attributes)
{
    for (Edge* edge : qAsConst(edges))
        if (edge->label)
            edge->label->resolveColumns(attributes);
}

void Automaton::removeState(const Node& state)
{
    // A copy: the caller's node may be one of stateList's.
    const Node node = state;
    // What needs memory comes first, while the automaton is unchanged; the
    // removal after it allocates nothing.
    const QList<Edge*> out = outgoing.value(node);
    const QSet<Edge*> in = incoming.value(node);
    // Take the edges out in a fixed order (outgoing first) so the registry
    // bookkeeping does not depend on pointer order.
    QList<Edge*> order = out;
    for (Edge* edge : in)
        if (!out.contains(edge))
            order.append(edge);
    // The key of each edge's label (null for a label not registered).
    QStringList keys;
    // After clearLabels() or a registration of a label that no edge carries
    // the counts no longer describe the registry: it is made again from the
    // edges that stay, in their order (orderedEdges() without the state).
    QSet<QString> texts;
    QStringList textOrder;
    QHash<QString, int> uses;
    struct Clones
    {
        QHash<QString, ParseNode*> map;  // owned: the new registry's, then the old one's
        ~Clones() { qDeleteAll(map); }
    } clones;
    if (labelsExact) {
        keys.reserve(order.size());
        for (const Edge* edge : qAsConst(order))
            keys.append(isRegistered(edge->label) ? LabelRelations::key(edge->label) : QString());
    } else {
        for (const Node& kept : qAsConst(stateList)) {
            const auto it = outgoing.constFind(kept);
            if (kept == node || it == outgoing.constEnd())
                continue;
            for (const Edge* edge : *it) {
                if (edge->to == node || !isRegistered(edge->label))
                    continue;
                const QString key = LabelRelations::key(edge->label);
                if (!texts.contains(key)) {
                    std::unique_ptr<ParseNode> copy(rootClone(edge->label));
                    clones.map.insert(key, copy.get());
                    copy.release();
                    texts.insert(key);
                    textOrder.append(key);
                }
                ++uses[key];
            }
        }
    }
    // Containers shared with copies handed out (outEdges(), inEdges(), the
    // public sets) would allocate on their first change.
    states.detach();
    stateList.detach();
    edges.detach();
    outgoing.detach();
    incoming.detach();
    if (labelsExact) {
        labelTexts.detach();
        labelCache.detach();
    }
    for (const Edge* edge : qAsConst(order)) {
        if (edge->from != node) {
            auto it = outgoing.find(edge->from);
            if (it != outgoing.end())
                it->detach();
        }
        if (edge->to != node) {
            auto it = incoming.find(edge->to);
            if (it != incoming.end())
                it->detach();
        }
    }

    states.remove(node);
    // States are unique and the one removed is usually among the last added.
    for (int i = stateList.size() - 1; i >= 0; --i) {
        if (stateList.at(i) == node) {
            stateList.removeAt(i);
            break;
        }
    }
    for (int i = 0; i < order.size(); ++i) {
        Edge* edge = order.at(i);
        edges.remove(edge);
        if (edge->from != node) {
            auto it = outgoing.find(edge->from);
            if (it != outgoing.end())
                it->removeOne(edge);
        }
        if (edge->to != node) {
            auto it = incoming.find(edge->to);
            if (it != incoming.end())
                it->remove(edge);
        }
        if (labelsExact && !keys.at(i).isNull())
            dropUse(keys.at(i));
        delete edge;
    }
    outgoing.remove(node);
    incoming.remove(node);
    if (!labelsExact) {
        labelTexts.swap(texts);
        labelCache.swap(clones.map);
        labelOrder.swap(textOrder);
        labelUses.swap(uses);
        labelsExact = true;
    }
    if (startNode == node)
        startNode = Node();
}

void Automaton::merge(Automaton* other, QHash<Node, Node>& map)
{
    const bool wasEmpty = isEmpty();
    for (const Node& state : other->stateList) {
        Node copy;
        addState(copy);
        map.insert(state, copy);
    }
    if (wasEmpty)
        startNode = map.value(other->startNode, Node());
    accepting.clear();
    for (const Node& state : other->accepting)
        accepting.insert(map.value(state, Node()));
    for (Edge* edge : other->orderedEdges())
        addEdge(map.value(edge->from, Node()), map.value(edge->to, Node()), rootClone(edge->label));
}

void Automaton::merge(Automaton* other)
{
    QHash<Node, Node> map;
    merge(other, map);
}

void Automaton::append(Automaton* other)
{
    const std::unique_ptr<Automaton> owned(other);
    // An automaton without states (an empty group, a childless sequence)
    // stands for nothing: appending it must not drop our accepting state.
    if (other->isEmpty())
        return;
    if (isEmpty()) {
        merge(other);
        return;
    }
    const Node f = accepting.isEmpty() ? Node() : *accepting.begin();
    const Node s = other->startNode;
    QHash<Node, Node> m;
    merge(other, m);
    for (Edge* edge : other->outgoing.value(s))
        addEdge(f, m.value(edge->to, Node()), rootClone(edge->label));
    for (Edge* edge : other->orderedEdges())
        if (edge->to == s)
            addEdge(m.value(edge->from, Node()), f, rootClone(edge->label));
    removeState(m.value(s, Node()));
    accepting.clear();
    for (const Node& state : other->accepting)
        accepting.insert(m.value(state, Node()));
}

bool Automaton::containsEdge(const Node& from, const Node& to, ParseNode* label) const
{
    ParseNode epsilon(ParseNode::Epsilon);
    const QString key = LabelRelations::key(label ? label : &epsilon);
    const auto it = outgoing.constFind(from);
    if (it == outgoing.constEnd())
        return false;
    for (const Edge* edge : *it)
        if (edge->to == to && LabelRelations::key(edge->label) == key)
            return true;
    return false;
}

bool Automaton::isRegistered(const ParseNode* label)
{
    if (!label || label->type != ParseNode::Leaf || label->glyph.name.isEmpty())
        return false;
    return !isPlainWildcard(label);
}

void Automaton::registerLabel(ParseNode* label)
{
    // A key that no edge carries is not counted: the next removeState()
    // rebuilds the registry from the edges.
    bool added = false;
    insertLabel(label, &added);
    if (added)
        labelsExact = false;
}

QString Automaton::insertLabel(const ParseNode* label, bool* added)
{
    if (added)
        *added = false;
    if (!isRegistered(label))
        return QString();
    const QString key = LabelRelations::key(label);
    if (labelTexts.contains(key))
        return key;
    std::unique_ptr<ParseNode> copy(rootClone(label));
    bool inTexts = false;
    bool inCache = false;
    try {
        labelTexts.insert(key);
        inTexts = true;
        labelCache.insert(key, copy.get());
        inCache = true;
        labelOrder.append(key);
    } catch (...) {
        if (inCache)
            labelCache.remove(key);
        if (inTexts)
            labelTexts.remove(key);
        throw;
    }
    copy.release();
    if (added)
        *added = true;
    return key;
}

void Automaton::dropUse(const QString& key)
{
    auto it = labelUses.find(key);
    if (it == labelUses.end())
        return;
    if (--it.value() > 0)
        return;
    labelUses.erase(it);
    unregister(key);
}

void Automaton::unregister(const QString& key)
{
    labelTexts.remove(key);
    delete labelCache.take(key);
    labelOrder.removeOne(key);
}

void Automaton::clearLabels()
{
    qDeleteAll(labelCache);
    labelCache.clear();
    labelTexts.clear();
    labelOrder.clear();
    labelUses.clear();
    labelsExact = edges.isEmpty();
}

QList<Edge*> Automaton::orderedEdges() const
{
    QList<Edge*> result;
    result.reserve(edges.size());
    for (const Node& state : stateList)
        result.append(outgoing.value(state));
    return result;
}

void Automaton::debugPrint() const
{
    for (const Edge* edge : orderedEdges())
        qDebug().noquote() << edge->from.id << edge->to.id << edge->label->glyph.name
                           << edge->label->toString();
    qDebug().noquote() << "done";
}

// ---------------------------------------------------------------------------
// Thompson's construction

Automaton* Automaton::fromParseTree(ParseNode* tree)
{
    if (!tree)
        return new Automaton;
    Construction construction;
    Fragment result = fragment(tree, construction);
    if (construction.capped) {
        result.reset();
        result.reset(new Automaton);
        result->capped = true;
    }
    return result.release();
}

// Fragments under construction are owned by the level that builds them, so
// that running out of memory at any step frees every one.
Automaton::Fragment Automaton::epsilonFragment()
{
    auto a = std::make_unique<Automaton>();
    Node s, e;
    a->addState(s);
    a->addState(e);
    a->startNode = s;
    a->accepting = {e};
    a->addEdge(s, e, nullptr);
    return a;
}

Automaton::Fragment Automaton::fragmentOrEpsilon(const ParseNode* node, Construction& construction)
{
    Fragment a = fragment(node, construction);
    if (a->isEmpty() && !construction.capped) {
        a.reset();
        return epsilonFragment();
    }
    return a;
}

Automaton::Fragment Automaton::fragment(const ParseNode* node, Construction& construction)
{
    Fragment result = buildFragment(node, construction);
    construction.work += result->states.size();
    if (construction.work > MaxConstructionStates)
        construction.fail(QStringLiteral("pattern too large: construction exceeds %1 states")
                              .arg(MaxConstructionStates));
    return result;
}

Automaton::Fragment Automaton::buildFragment(const ParseNode* node, Construction& construction)
{
    switch (node->type) {
    case ParseNode::Epsilon:
        return epsilonFragment();
    case ParseNode::Test:
    case ParseNode::Leaf:
    case ParseNode::Not: {
        if (node->type == ParseNode::Not && node->children.size() != 1)
            qDebug().noquote() << "invalid negation query, only consider first child";
        auto a = std::make_unique<Automaton>();
        Node s, e;
        a->addState(s);
        a->addState(e);
        a->startNode = s;
        a->accepting = {e};
        a->addEdge(s, e, rootClone(node));
        return a;
    }
    case ParseNode::And: {
        auto a = std::make_unique<Automaton>();
        for (const ParseNode* child : node->children) {
            Fragment part = fragment(child, construction);
            if (construction.capped)
                return a;
            a->append(part.release());
            if (construction.tooBig(a.get()))
                return a;
        }
        return a;
    }
    case ParseNode::Or: {
        auto a = std::make_unique<Automaton>();
        std::vector<Fragment> parts;
        std::vector<QHash<Node, Node>> maps;
        parts.reserve(std::size_t(node->children.size()));
        maps.reserve(std::size_t(node->children.size()));
        for (const ParseNode* child : node->children) {
            parts.push_back(fragmentOrEpsilon(child, construction));
            maps.emplace_back();
            if (construction.capped)
                break;
            a->merge(parts.back().get(), maps.back());
            if (construction.tooBig(a.get()))
                break;
        }
        if (construction.capped)
            return a;
        Node s, e;
        a->addState(s);
        a->addState(e);
        a->startNode = s;
        a->accepting = {e};
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const Automaton* part = parts[i].get();
            const Node partEnd = part->accepting.isEmpty() ? Node() : *part->accepting.begin();
            a->addEdge(s, maps[i].value(part->startNode, Node()), nullptr);
            a->addEdge(maps[i].value(partEnd, Node()), e, nullptr);
        }
        return a;
    }
    case ParseNode::Star:
        if (node->children.isEmpty())
            return std::make_unique<Automaton>();
        return starCore(node->children.first(), construction);
    case ParseNode::Plus: {
        if (node->children.isEmpty())
            return std::make_unique<Automaton>();
        Fragment star = starCore(node->children.first(), construction);
        if (construction.capped)
            return star;
        Fragment a = fragmentOrEpsilon(node->children.first(), construction);
        a->append(star.release());
        construction.tooBig(a.get());
        return a;
    }
    case ParseNode::Repeat:
        if (node->children.isEmpty())
            return std::make_unique<Automaton>();
        return repetition(node, construction);
    default:
        return std::make_unique<Automaton>();
    }
}

Automaton::Fragment Automaton::starCore(const ParseNode* child, Construction& construction)
{
    auto a = std::make_unique<Automaton>();
    Fragment body = fragmentOrEpsilon(child, construction);
    if (construction.capped)
        return a;
    QHash<Node, Node> map;
    a->merge(body.get(), map);
    const Node ss = map.value(body->startNode, Node());
    const Node f = body->accepting.isEmpty() ? Node() : map.value(*body->accepting.begin(), Node());
    body.reset();
    Node s, e;
    a->addState(s);
    a->addState(e);
    a->startNode = s;
    a->accepting = {e};
    a->addEdge(s, ss, nullptr);
    a->addEdge(f, ss, nullptr);
    a->addEdge(f, e, nullptr);
    a->addEdge(s, e, nullptr);
    construction.tooBig(a.get());
    return a;
}

Automaton::Fragment Automaton::repetition(const ParseNode* node, Construction& construction)
{
    const QPair<double, double> bounds = node->value.toPair();
    const double minBound = std::trunc(bounds.first);
    const double maxBound = std::trunc(bounds.second);
    const ParseNode* child = node->children.first();

    if (minBound > MaxCopies || maxBound > MaxCopies) {
        construction.fail(QStringLiteral("pattern too large: more than %1 repetitions").arg(MaxCopies));
        return std::make_unique<Automaton>();
    }
    // Both bounds are now small enough to count in an int; counts below 0
    // act like 0 (and a maximum below 0 other than -1 allows no optional copy).
    auto count = [](double bound) { return std::isfinite(bound) ? int(std::max(bound, -2.0)) : 0; };
    const int minCount = count(minBound);
    const int maxCount = count(maxBound);

    if (bounds.second == -1) {
        Fragment a = starCore(child, construction);
        for (int i = 0; i < minCount && !construction.capped; ++i) {
            Fragment copy = fragmentOrEpsilon(child, construction);
            copy->append(a.release());
            a = std::move(copy);
            construction.tooBig(a.get());
        }
        return a;
    }

    auto a = std::make_unique<Automaton>();
    for (int i = 0; i < minCount && !construction.capped; ++i) {
        a->append(fragmentOrEpsilon(child, construction).release());
        construction.tooBig(a.get());
    }
    // A negative lower bound counts as 0: between 0 and max copies.
    QList<int> optional;
    for (int i = std::max(minCount, 0); i < maxCount && !construction.capped; ++i) {
        const bool hadStates = !a->accepting.isEmpty();
        const Node before = hadStates ? *a->accepting.begin() : Node();
        a->append(fragmentOrEpsilon(child, construction).release());
        optional.append(hadStates ? before.id : a->startNode.id);
        construction.tooBig(a.get());
    }
    if (construction.capped)
        return a;
    const Node last = a->accepting.isEmpty() ? Node() : *a->accepting.begin();
    for (int id : optional)
        a->addEdge(a->stateById.value(id, Node()), last, nullptr);
    return a;
}

// ---------------------------------------------------------------------------
// Subset construction

Automaton* Automaton::build(ParseNode* tree)
{
    std::unique_ptr<Automaton> nfa(fromParseTree(tree));
    if (nfa->capped) {
        nfa.reset();
        return new Automaton;
    }
    nfa->debugPrint();
    std::unique_ptr<Automaton> dfa(nfa->determinize());
    dfa->debugPrint();
    return dfa.release();
}

QList<Node> Automaton::sortedNodes(const QSet<Node>& subset)
{
    // Sets iterate in hash order, which differs between runs; walking them by
    // id keeps the numbering and edge order of a built automaton stable.
    QList<Node> list = subset.values();
    std::sort(list.begin(), list.end(), [](const Node& a, const Node& b) { return a.id < b.id; });
    return list;
}

QSet<Node> Automaton::move(const QSet<Node>& subset, ParseNode* label, bool transitive) const
{
    QList<Node> work = sortedNodes(subset);
    QSet<Node> result;
    while (!work.isEmpty()) {
        const Node state = work.takeFirst();
        const auto it = outgoing.constFind(state);
        if (it == outgoing.constEnd())
            continue;
        for (const Edge* edge : *it) {
            if (!labelCovers(edge->label, label) || result.contains(edge->to))
                continue;
            result.insert(edge->to);
            if (transitive)
                work.prepend(edge->to);
        }
    }
    return result;
}

QSet<Node> Automaton::epsilonClosure(const QSet<Node>& subset) const
{
    ParseNode epsilon(ParseNode::Epsilon);
    return move(subset, &epsilon, true).unite(subset);
}

bool Automaton::labelCovers(const ParseNode* a, const ParseNode* b)
{
    return LabelRelations::covers(a, b);
}

QList<ParseNode*> Automaton::wildcardLabels()
{
    OwnedNodes result;
    if (labelTexts.isEmpty())
        return result.release();
    // Out of memory the template keeps the alternatives made so far; each
    // call makes them anew.
    complement->ignoreBindings = true;
    ParseNode* alternatives = complement->children.first();
    qDeleteAll(alternatives->children);
    alternatives->children.clear();
    for (const QString& key : qAsConst(labelOrder)) {
        const ParseNode* label = labelCache.value(key);
        if (!label)
            continue;
        std::unique_ptr<ParseNode> alternative(rootClone(label));
        alternatives->addChild(alternative.get());
        alternative.release();
        appendClone(result.nodes, label);
    }
    appendClone(result.nodes, complement);
    return result.release();
}

QList<ParseNode*> Automaton::edgeLabels(const QSet<Node>& subset)
{
    OwnedNodes result;
    QSet<QString> taken;
    // The split of a wildcard is the same for every wildcard edge.
    OwnedNodes split;
    bool splitMade = false;
    for (const Node& state : sortedNodes(subset)) {
        const auto it = outgoing.constFind(state);
        if (it == outgoing.constEnd())
            continue;
        for (const Edge* edge : *it) {
            if (isPlainWildcard(edge->label)) {
                if (!splitMade) {
                    split.nodes = wildcardLabels();
                    splitMade = true;
                }
                if (!split.nodes.isEmpty()) {
                    for (const ParseNode* label : qAsConst(split.nodes)) {
                        const QString key = LabelRelations::key(label);
                        if (!taken.contains(key)) {
                            taken.insert(key);
                            appendClone(result.nodes, label);
                        }
                    }
                    continue;
                }
            }
            const QString key = LabelRelations::key(edge->label);
            if (!taken.contains(key)) {
                taken.insert(key);
                appendClone(result.nodes, edge->label);
            }
        }
    }
    return result.release();
}

QString Automaton::stateSetKey(const QSet<Node>& subset)
{
    QStringList ids;
    ids.reserve(subset.size());
    for (const Node& state : subset)
        ids.append(QString::number(state.id));
    ids.sort();
    return ids.join(QLatin1Char(','));
}

bool Automaton::isAccepting(const QSet<Node>& subset) const
{
    for (const Node& state : subset)
        if (accepting.contains(state))
            return true;
    return false;
}

Automaton* Automaton::determinize()
{
    std::unique_ptr<Automaton> dfa(new Automaton);
    // Subsets are identified by their key; it names each subset exactly once.
    QHash<QString, Node> table;
    QList<QSet<Node>> queue;
    QSet<QString> seen;

    const QSet<Node> s0 = epsilonClosure(QSet<Node>{startNode});
    const QString key0 = stateSetKey(s0);
    table.insert(key0, Node());
    queue.append(s0);
    seen.insert(key0);

    auto stateFor = [&](const QSet<Node>& subset, const QString& key) {
        Node node = table.value(key, Node());
        if (!dfa->states.contains(node)) {
            dfa->addState(node);
            table.insert(key, node);
            if (isAccepting(subset))
                dfa->accepting.insert(node);
        }
        return node;
    };

    while (!queue.isEmpty()) {
        const QSet<Node> subset = queue.takeFirst();
        const Node from = stateFor(subset, stateSetKey(subset));
        const OwnedNodes labels(edgeLabels(subset));
        for (ParseNode* label : labels.nodes) {
            if (label->type == ParseNode::Epsilon)
                continue;
            const QSet<Node> target = epsilonClosure(move(subset, label, false));
            const QString key = stateSetKey(target);
            if (!seen.contains(key)) {
                queue.append(target);
                seen.insert(key);
            }
            const Node to = stateFor(target, key);
            if (!dfa->containsEdge(from, to, label))
                dfa->addEdge(from, to, rootClone(label));
        }
        if (dfa->states.size() > MaxDfaStates) {
            qDebug().noquote()
                << QStringLiteral("pattern too large: more than %1 deterministic states").arg(MaxDfaStates);
            dfa.reset();
            dfa.reset(new Automaton);
            dfa->capped = true;
            return dfa.release();
        }
    }
    dfa->startNode = table.value(key0, Node());
    return dfa.release();
}
