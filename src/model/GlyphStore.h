#pragma once

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "items/BinItem.h"
#include "patterns/Rule.h"

#include <QSet>
#include <QSharedPointer>
#include <QString>

class Context;
class Packet;

// The registry every view reaches: the glyphs, the rules, the attribute
// tables of the loaded log, the root context (owned, with its whole tree),
// the text pool of attribute values, the log's file name and the per-rule
// run counts.
//
// Threads: nothing locks the store. Every mutator (glyphs, rules, attribute
// tables, addAttribute, filterContext, the destructor) runs on the GUI
// thread only, and only while no worker or thread-pool job is reading the
// store. The queries on a context (hasValues .. maxValue, checkPacketColumns)
// only read and may run in thread-pool jobs. While the root context is
// computed on its worker, that worker reads the attribute tables and reads
// and extends `textPool`; the GUI thread waits meanwhile.
class GlyphStore
{
public:
    GlyphStore();
    // Deletes the root context with every descendant and every snapshot.
    ~GlyphStore();

    GlyphStore(const GlyphStore&) = delete;
    GlyphStore& operator=(const GlyphStore&) = delete;

    // Glyphs.
    void addDefaultGlyphs();
    void addGlyph(BinItem& glyph);
    BinItem findGlyph(const QString& name) const;
    bool hasGlyph(const BinItem& glyph) const;
    void setGlyph(const BinItem& glyph);

    // Rules.
    Rule findRule(const QString& name) const;
    // Rules read from text carry no glyph ids: every rule's rewrite glyph
    // takes the id of the store's glyph of its name, and a glyph the store
    // lacks is added first (so that rows merged by different rules keep
    // different row keys, and the glyph lists show what the rules write).
    void adoptRewriteGlyphs(TList<Rule>& rules);

    // Contexts.
    void filterContext(Context* context, const TList<QSharedPointer<Packet>>& events);

    // Attribute tables.
    void setAttributes(const TList<QString>& names, const TList<int>& kinds);
    void resetConversationAttributes();
    TList<QString> attributeNames(bool conversationSide) const;
    THash<QString, int> attributeMap(bool conversationSide) const;
    bool hasAttribute(const QString& name) const;

    // Attribute kinds.
    bool isRangeAttribute(const QString& name) const;
    bool isNumericAttribute(const QString& name) const;
    bool isKeyAttribute(const QString& name) const;

    // Queries on one attribute of a context (event side first, then trace
    // side; an attribute neither side lists gives an empty result).
    bool hasValues(const QString& name, Context* context) const;
    int valueTotal(Context* context, const QString& name) const;
    THash<TVariant, int> histogram(const QString& name, Context* context, int n) const;
    TList<TVariant> bins(const QString& name, Context* context, int n) const;
    TList<TVariant> rankedValues(const QString& name, double n, Context* context) const;
    TList<TVariant> firstValues(const QString& name, double n, Context* context) const;
    TList<TVariant> lastValues(const QString& name, double n, Context* context) const;
    double maxValue(const QString& name, Context* context) const;
    double minValue(const QString& name, Context* context) const;

    // Events.
    void addAttribute(const TList<TVariant>& values, const QString& name, bool range, bool key);
    TList<QString> collectDistinctValues(const TList<QSharedPointer<Packet>>& events,
                                         const TList<QString>& names) const;
    bool checkPacketColumns(const QSharedPointer<Packet>& event, Context* context,
                            const TList<int>& columns, bool conversationSide) const;

    // Kind-1 and kind-2 names: their histograms are kept ordered by value.
    bool isOrderedAttribute(const QString& name) const;

    QSet<QString> rangeAttributes;          // kind 1
    QSet<QString> extraRangeAttributes;     // kind 2
    QSet<QString> numericAttributes;        // kind 0
    QSet<QString> keyAttributes;            // kind 4
    THash<QString, int> ruleCounts;         // rule name -> times applied
    QString fileName;                       // the loaded log's path
    Context* rootContext = nullptr;         // owned, with its whole tree
    THash<QString, int> attributeColumns;   // event-side name -> column
    TList<QString> packetAttributeNames;    // event-side names in column order
    THash<QString, TVariant> textPool;      // shared texts of attribute values
    TList<BinItem> glyphs;                  // "WildCard", "DeleteItem", "Gray", added glyphs
    TList<BinItem> colorGlyphs;             // "Blue", "Purple", "Green", "Yellow", "Red"
    BinItem noneGlyph;                      // "None"
    TList<Rule> rules;                      // in rule-list order
    TList<QString> conversationAttributeNames;   // trace-side names in column order
    THash<QString, int> conversationAttributeColumns; // trace-side name -> column

private:
    // The histogram of an attribute in a context; false when neither side
    // lists the name. `hist` is null when the context has no such slot yet.
    bool lookupHistogram(const QString& name, Context* context,
                         const THash<TVariant, int>** hist) const;
};

// The id the next added glyph receives; the default glyphs reset it to 8.
extern int nextGlyphId;
