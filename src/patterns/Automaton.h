#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include "core/THash.h"
#include "patterns/Node.h"

#include <memory>

class Edge;
class ParseNode;

// A labelled state graph. As the automaton of a pattern its edges carry
// ParseNode predicates (glyph leaves, negations, comparisons; kind 0 is an
// epsilon step): fromParseTree() builds the nondeterministic automaton by
// Thompson's construction, determinize() the deterministic one by subset
// construction, and RuleMatcher runs it over glyph sequences. Views also use
// it as a plain graph built with addState()/addEdge() and null labels.
//
// The automaton owns its edges, their labels, the complement template and
// the registry clones. It is not copyable.
//
// Out of memory (std::bad_alloc) nothing made on the way is leaked and the
// automaton stays usable: addState(), addEdge() and removeState() then
// leave it as it was; a merge or append that stops half way leaves part of
// the other automaton copied.
class Automaton
{
public:
    // Limits that keep hostile patterns (huge repetition bounds, nested
    // repetitions, subset blow-up) from exhausting memory or time. Beyond a
    // limit the automaton is empty (it matches nothing) and a debug line
    // says why.
    static const int MaxCopies = 1000;        // copies of one repeated fragment
    static const int MaxNfaStates = 50000;    // states of the nondeterministic automaton
    static const int MaxDfaStates = 5000;     // states of the deterministic automaton
    // States of all fragments made while building one pattern (nested plus
    // copies its operand twice per level).
    static const int MaxConstructionStates = 200000;

    Automaton();
    Automaton(const Automaton&) = delete;
    Automaton& operator=(const Automaton&) = delete;
    ~Automaton();

    // Gives the node the next id and adds it; the first state becomes the start.
    void addState(Node& node);
    // A null label becomes an epsilon label. Takes ownership of the label,
    // also when it runs out of memory (the label is freed then).
    void addEdge(const Node& from, const Node& to, ParseNode* label);
    Node start() const;
    QList<Edge*> outEdges(const Node& node) const;
    QSet<Edge*> inEdges(const Node& node) const;
    bool isEmpty() const;
    // Whether every match is one item long: the start state has edges, and
    // each consumes an item (no epsilon label) and ends in an accepting
    // state that has no edge of its own.
    bool matchesSingleItems() const;
    // ParseNode::resolveColumns for the labels of every edge.
    void resolveColumns(const THash<QString, int>* attributes);
    // Drops the state with every edge that touches it. The accepting set is
    // left alone.
    void removeState(const Node& node);
    // Copies other into this automaton (other is unchanged); map receives
    // each state of other with its copy. The accepting set becomes the
    // copies of other's accepting states.
    void merge(Automaton* other, QHash<Node, Node>& map);
    void merge(Automaton* other);
    // This automaton followed by other; takes other and deletes it (also
    // when it runs out of memory). An empty other changes nothing.
    void append(Automaton* other);
    // An edge between the two states whose label is the given one: the same
    // key (LabelRelations::key; null counts as epsilon).
    bool containsEdge(const Node& from, const Node& to, ParseNode* label) const;
    // The registry of distinct glyph-leaf labels, by key, that wildcard
    // edges are split against; plain "WildCard" leaves (no condition, no
    // stack, not an exact combination) and nameless glyphs are not registered.
    void registerLabel(ParseNode* label);
    void clearLabels();
    void debugPrint() const;

    // Thompson's construction. The tree is neither changed nor kept; the
    // caller owns the result.
    static Automaton* fromParseTree(ParseNode* tree);

    // The deterministic automaton of a pattern tree; the caller owns it.
    static Automaton* build(ParseNode* tree);
    // Subset construction; a new automaton owned by the caller. Only the
    // complement template of this automaton is rewritten.
    Automaton* determinize();
    QSet<Node> epsilonClosure(const QSet<Node>& subset) const;
    QSet<Node> move(const QSet<Node>& subset, ParseNode* label, bool transitive) const;
    // Whether edge label a holds for every item that satisfies label b
    // (LabelRelations::covers).
    static bool labelCovers(const ParseNode* a, const ParseNode* b);
    // The distinct labels to expand a subset by (new nodes, caller owns them).
    QList<ParseNode*> edgeLabels(const QSet<Node>& subset);
    // Clones of the registered labels followed by the complement label (new
    // nodes, caller owns them); empty when nothing is registered.
    QList<ParseNode*> wildcardLabels();
    // Ids as decimal text sorted as strings, joined by ",": {2,10,1} -> "1,10,2".
    static QString stateSetKey(const QSet<Node>& subset);
    bool isAccepting(const QSet<Node>& subset) const;

    QHash<Node, QList<Edge*>> outgoing;
    QSet<Node> accepting;
    Node startNode;
    QSet<Edge*> edges;
    QSet<Node> states;
    QList<Node> stateList;
    QHash<int, Node> stateById;
    qint32 nextId = 0;
    ParseNode* complement = nullptr;  // Not(Or(...)): template of the complement label
    QSet<QString> labelTexts;                 // keys of the registered labels
    QHash<QString, ParseNode*> labelCache;    // key -> owned clone
    QHash<Node, QSet<Edge*>> incoming;

private:
    struct Construction;
    using Fragment = std::unique_ptr<Automaton>;
    static Fragment fragment(const ParseNode* node, Construction& construction);
    static Fragment buildFragment(const ParseNode* node, Construction& construction);
    static Fragment fragmentOrEpsilon(const ParseNode* node, Construction& construction);
    static Fragment epsilonFragment();
    static Fragment starCore(const ParseNode* child, Construction& construction);
    static Fragment repetition(const ParseNode* node, Construction& construction);
    static bool isRegistered(const ParseNode* label);
    static QList<Node> sortedNodes(const QSet<Node>& subset);
    // Adds the label to the registry when it is not there yet (*added tells);
    // returns its key, empty for a label that is not registered at all.
    // Out of memory the registry is as it was.
    QString insertLabel(const ParseNode* label, bool* added = nullptr);
    // One edge fewer carries the key; at none the key leaves the registry.
    // Allocates nothing.
    void dropUse(const QString& key);
    // Takes the key out of the registry. Allocates nothing.
    void unregister(const QString& key);
    // Every edge in a fixed order: per state in creation order, its outgoing list.
    QList<Edge*> orderedEdges() const;

    // Registration order of labelTexts (wildcards split in this order) and
    // how many edges carry each registered key, so that removing a state
    // updates the registry without rebuilding it.
    QStringList labelOrder;
    QHash<QString, int> labelUses;
    // Whether the registry holds exactly the keys of the edges, counted in
    // labelUses.
    bool labelsExact = true;
    // Set when a construction limit was hit; the automaton is then empty.
    bool capped = false;
};
