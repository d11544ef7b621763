#pragma once

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <atomic>

class GlyphStore;
class Packet;

// A named set of events with everything the views derive from it: one value
// histogram per event attribute, the traces (events grouped by conversation
// id), one summary record per trace and one histogram per trace attribute.
// Contexts form a tree through `parent` and `children`; the glyph store owns
// the root and deletes the whole tree.
//
// Threads: the root of a fresh load is computed by createConversations() on
// a worker thread while the GUI thread waits; the GUI thread only sets
// `cancelled` meanwhile. Every other operation runs on the GUI thread.
class Context : public QObject
{
    Q_OBJECT

public:
    // A context over `packets`, computed at once with makeConversations. It
    // joins the end of the parent's children last: out of memory on the
    // way it throws, and the parent is as it was.
    Context(Context* parent, const QString& name, const TList<QSharedPointer<Packet>>& packets,
            GlyphStore* store, bool makeConversations);
    // Snapshot copy for revert: shares the events, is not entered into the
    // parent's children and has no children of its own. The copy owns copies
    // of the snapshots in `history`, so either side may be deleted first.
    Context(const Context& other);
    // Unlinks this context from its parent's children and deletes its
    // snapshots; child contexts are left alone (their parent link is cleared).
    ~Context() override;

    Context& operator=(const Context&) = delete;

    // The full computation: histograms, traces, trace records and trace
    // histograms. Emits progress 0..4 and label texts; stops early when
    // `cancelled` is set.
    void createConversations();
    void initHistograms();

    // One more (empty) event-side histogram slot, for a derived attribute.
    void appendHistogram();
    // Empties and recounts the listed columns over this context's events
    // (trace records with conversationSide).
    void updateHistograms(const TList<int>& columns, bool conversationSide = false);

    int conversationCount() const;
    // The number of traces; the same as conversationCount().
    int size() const { return conversationCount(); }
    THash<int, QSet<TVariant>> attributeMap(bool conversationSide) const;

    // Removes the given events (matched by identity) and keeps a snapshot of
    // the context as it was before the first removal since it was settled.
    void removePackets(const TList<QSharedPointer<Packet>>& removed);
    void restore(const Context& snapshot);
    void revert();
    void clearHistory();

    Context* parent = nullptr;                       // not owned; null for a root
    GlyphStore* store = nullptr;                     // not owned
    TList<THash<TVariant, int>> histograms;          // by event-side column
    TList<QSharedPointer<Packet>> packets;           // the events, in log order
    TList<Context*> children;                        // derived contexts, creation order
    QString name;
    THash<int, QSet<TVariant>> valueSets;            // per-column value filters (event side)
    TList<QSharedPointer<Packet>> conversationPackets;   // one record per trace, ascending id
    TList<THash<TVariant, int>> conversationHistograms;  // by trace-side column
    THash<int, TList<QSharedPointer<Packet>>> conversations;  // id -> events, ordered by id
    THash<int, QSet<TVariant>> conversationValueSets; // per-column value filters (trace side)
    TList<Context*> history;                         // owned snapshots, most recent last
    bool modified = false;
    // Written by the GUI thread (cancel request), read by the worker.
    std::atomic<bool> cancelled{false};

signals:
    void progress(int value);
    void setLabelText(QString text);
};
