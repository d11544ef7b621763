#include "patterns/Automaton.h"

#include "patterns/Edge.h"
#include "patterns/LabelRelations.h"
#include "patterns/ParseNode.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

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
    complement = new ParseNode(ParseNode::Not);
    complement->addChild(new ParseNode(ParseNode::Or));
}

Automaton::~Automaton()
{
    qDeleteAll(edges);
    delete complement;
    clearLabels();
}

void Automaton::addState(Node& node)
{
    node.id = nextId;
    node.valid = true;
    stateById.insert(nextId, node);
    ++nextId;
    if (states.isEmpty())
        startNode = node;
    stateList.append(node);
    incoming.insert(node, QSet<Edge*>());
    outgoing.insert(node, QList<Edge*>());
    states.insert(node);
}

void Automaton::addEdge(const Node& from, const Node& to, ParseNode* label)
{
    if (!label)
        label = new ParseNode(ParseNode::Epsilon);
    if (isRegistered(label))
        ++labelUses[insertLabel(label)];
    Edge* edge = new Edge(from, to, label);
    incoming[to].insert(edge);
    outgoing[from].append(edge);
    edges.insert(edge);
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

void Automaton::removeState(const Node& node)
{
    states.remove(node);
    // States are unique and the one removed is usually among the last added.
    for (int i = stateList.size() - 1; i >= 0; --i) {
        if (stateList.at(i) == node) {
            stateList.removeAt(i);
            break;
        }
    }

    QSet<Edge*> doomed;
    const QList<Edge*> out = outgoing.value(node);
    for (Edge* edge : out)
        doomed.insert(edge);
    const QSet<Edge*> in = incoming.value(node);
    for (Edge* edge : in)
        doomed.insert(edge);
    // Take the edges out in a fixed order (outgoing first) so the registry
    // bookkeeping does not depend on pointer order.
    QList<Edge*> order = out;
    for (Edge* edge : in)
        if (!out.contains(edge))
            order.append(edge);
    for (Edge* edge : order) {
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
        if (labelsExact)
            forgetLabel(edge->label);
        delete edge;
    }
    outgoing.remove(node);
    incoming.remove(node);
    // After clearLabels() or a registration of a label that no edge carries
    // the counts no longer describe the registry: rebuild it from the edges.
    if (!labelsExact) {
        clearLabels();
        for (Edge* edge : orderedEdges()) {
            if (isRegistered(edge->label))
                ++labelUses[insertLabel(edge->label)];
        }
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
    // An automaton without states (an empty group, a childless sequence)
    // stands for nothing: appending it must not drop our accepting state.
    if (other->isEmpty()) {
        delete other;
        return;
    }
    if (isEmpty()) {
        merge(other);
        delete other;
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
    delete other;
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
    labelTexts.insert(key);
    labelCache.insert(key, rootClone(label));
    labelOrder.append(key);
    if (added)
        *added = true;
    return key;
}

void Automaton::forgetLabel(const ParseNode* label)
{
    if (!isRegistered(label))
        return;
    const QString key = LabelRelations::key(label);
    auto it = labelUses.find(key);
    if (it == labelUses.end())
        return;
    if (--it.value() > 0)
        return;
    labelUses.erase(it);
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
    Automaton* result = fragment(tree, construction);
    if (construction.capped) {
        delete result;
        result = new Automaton;
        result->capped = true;
    }
    return result;
}

Automaton* Automaton::epsilonFragment()
{
    auto* a = new Automaton;
    Node s, e;
    a->addState(s);
    a->addState(e);
    a->startNode = s;
    a->accepting = {e};
    a->addEdge(s, e, nullptr);
    return a;
}

Automaton* Automaton::fragmentOrEpsilon(const ParseNode* node, Construction& construction)
{
    Automaton* a = fragment(node, construction);
    if (a->isEmpty() && !construction.capped) {
        delete a;
        return epsilonFragment();
    }
    return a;
}

Automaton* Automaton::fragment(const ParseNode* node, Construction& construction)
{
    Automaton* result = buildFragment(node, construction);
    construction.work += result->states.size();
    if (construction.work > MaxConstructionStates)
        construction.fail(QStringLiteral("pattern too large: construction exceeds %1 states")
                              .arg(MaxConstructionStates));
    return result;
}

Automaton* Automaton::buildFragment(const ParseNode* node, Construction& construction)
{
    switch (node->type) {
    case ParseNode::Epsilon:
        return epsilonFragment();
    case ParseNode::Test:
    case ParseNode::Leaf:
    case ParseNode::Not: {
        if (node->type == ParseNode::Not && node->children.size() != 1)
            qDebug().noquote() << "invalid negation query, only consider first child";
        auto* a = new Automaton;
        Node s, e;
        a->addState(s);
        a->addState(e);
        a->startNode = s;
        a->accepting = {e};
        a->addEdge(s, e, rootClone(node));
        return a;
    }
    case ParseNode::And: {
        auto* a = new Automaton;
        for (const ParseNode* child : node->children) {
            Automaton* part = fragment(child, construction);
            if (construction.capped) {
                delete part;
                return a;
            }
            a->append(part);
            if (construction.tooBig(a))
                return a;
        }
        return a;
    }
    case ParseNode::Or: {
        auto* a = new Automaton;
        QList<Automaton*> parts;
        QList<QHash<Node, Node>> maps;
        for (const ParseNode* child : node->children) {
            Automaton* part = fragmentOrEpsilon(child, construction);
            parts.append(part);
            maps.append(QHash<Node, Node>());
            if (construction.capped)
                break;
            a->merge(part, maps.last());
            if (construction.tooBig(a))
                break;
        }
        if (construction.capped) {
            qDeleteAll(parts);
            return a;
        }
        Node s, e;
        a->addState(s);
        a->addState(e);
        a->startNode = s;
        a->accepting = {e};
        for (int i = 0; i < parts.size(); ++i) {
            const Automaton* part = parts.at(i);
            const Node partEnd = part->accepting.isEmpty() ? Node() : *part->accepting.begin();
            a->addEdge(s, maps.at(i).value(part->startNode, Node()), nullptr);
            a->addEdge(maps.at(i).value(partEnd, Node()), e, nullptr);
        }
        qDeleteAll(parts);
        return a;
    }
    case ParseNode::Star:
        if (node->children.isEmpty())
            return new Automaton;
        return starCore(node->children.first(), construction);
    case ParseNode::Plus: {
        if (node->children.isEmpty())
            return new Automaton;
        Automaton* star = starCore(node->children.first(), construction);
        if (construction.capped)
            return star;
        Automaton* a = fragmentOrEpsilon(node->children.first(), construction);
        a->append(star);
        construction.tooBig(a);
        return a;
    }
    case ParseNode::Repeat:
        if (node->children.isEmpty())
            return new Automaton;
        return repetition(node, construction);
    default:
        return new Automaton;
    }
}

Automaton* Automaton::starCore(const ParseNode* child, Construction& construction)
{
    auto* a = new Automaton;
    Automaton* body = fragmentOrEpsilon(child, construction);
    if (construction.capped) {
        delete body;
        return a;
    }
    QHash<Node, Node> map;
    a->merge(body, map);
    const Node ss = map.value(body->startNode, Node());
    const Node f = body->accepting.isEmpty() ? Node() : map.value(*body->accepting.begin(), Node());
    delete body;
    Node s, e;
    a->addState(s);
    a->addState(e);
    a->startNode = s;
    a->accepting = {e};
    a->addEdge(s, ss, nullptr);
    a->addEdge(f, ss, nullptr);
    a->addEdge(f, e, nullptr);
    a->addEdge(s, e, nullptr);
    construction.tooBig(a);
    return a;
}

Automaton* Automaton::repetition(const ParseNode* node, Construction& construction)
{
    const QPair<double, double> bounds = node->value.toPair();
    const double minBound = std::trunc(bounds.first);
    const double maxBound = std::trunc(bounds.second);
    const ParseNode* child = node->children.first();

    if (minBound > MaxCopies || maxBound > MaxCopies) {
        construction.fail(QStringLiteral("pattern too large: more than %1 repetitions").arg(MaxCopies));
        return new Automaton;
    }
    // Both bounds are now small enough to count in an int; counts below 0
    // act like 0 (and a maximum below 0 other than -1 allows no optional copy).
    auto count = [](double bound) { return std::isfinite(bound) ? int(std::max(bound, -2.0)) : 0; };
    const int minCount = count(minBound);
    const int maxCount = count(maxBound);

    if (bounds.second == -1) {
        Automaton* a = starCore(child, construction);
        for (int i = 0; i < minCount && !construction.capped; ++i) {
            Automaton* copy = fragmentOrEpsilon(child, construction);
            copy->append(a);
            a = copy;
            construction.tooBig(a);
        }
        return a;
    }

    auto* a = new Automaton;
    for (int i = 0; i < minCount && !construction.capped; ++i) {
        a->append(fragmentOrEpsilon(child, construction));
        construction.tooBig(a);
    }
    // A negative lower bound counts as 0: between 0 and max copies.
    QList<int> optional;
    for (int i = std::max(minCount, 0); i < maxCount && !construction.capped; ++i) {
        const bool hadStates = !a->accepting.isEmpty();
        const Node before = hadStates ? *a->accepting.begin() : Node();
        a->append(fragmentOrEpsilon(child, construction));
        optional.append(hadStates ? before.id : a->startNode.id);
        construction.tooBig(a);
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
    Automaton* nfa = fromParseTree(tree);
    if (nfa->capped) {
        delete nfa;
        return new Automaton;
    }
    nfa->debugPrint();
    Automaton* dfa = nfa->determinize();
    dfa->debugPrint();
    delete nfa;
    return dfa;
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
    QList<ParseNode*> result;
    if (labelTexts.isEmpty())
        return result;
    complement->ignoreBindings = true;
    ParseNode* alternatives = complement->children.first();
    qDeleteAll(alternatives->children);
    alternatives->children.clear();
    for (const QString& key : labelOrder) {
        const ParseNode* label = labelCache.value(key);
        if (!label)
            continue;
        alternatives->addChild(rootClone(label));
        result.append(rootClone(label));
    }
    result.append(rootClone(complement));
    return result;
}

QList<ParseNode*> Automaton::edgeLabels(const QSet<Node>& subset)
{
    QList<ParseNode*> result;
    QSet<QString> taken;
    // The split of a wildcard is the same for every wildcard edge.
    QList<ParseNode*> split;
    bool splitMade = false;
    for (const Node& state : sortedNodes(subset)) {
        const auto it = outgoing.constFind(state);
        if (it == outgoing.constEnd())
            continue;
        for (const Edge* edge : *it) {
            if (isPlainWildcard(edge->label)) {
                if (!splitMade) {
                    split = wildcardLabels();
                    splitMade = true;
                }
                if (!split.isEmpty()) {
                    for (const ParseNode* label : split) {
                        const QString key = LabelRelations::key(label);
                        if (!taken.contains(key)) {
                            taken.insert(key);
                            result.append(rootClone(label));
                        }
                    }
                    continue;
                }
            }
            const QString key = LabelRelations::key(edge->label);
            if (!taken.contains(key)) {
                taken.insert(key);
                result.append(rootClone(edge->label));
            }
        }
    }
    qDeleteAll(split);
    return result;
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
    auto* dfa = new Automaton;
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
        const QList<ParseNode*> labels = edgeLabels(subset);
        for (ParseNode* label : labels) {
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
        qDeleteAll(labels);
        if (dfa->states.size() > MaxDfaStates) {
            qDebug().noquote()
                << QStringLiteral("pattern too large: more than %1 deterministic states").arg(MaxDfaStates);
            delete dfa;
            dfa = new Automaton;
            dfa->capped = true;
            return dfa;
        }
    }
    dfa->startNode = table.value(key0, Node());
    return dfa;
}
