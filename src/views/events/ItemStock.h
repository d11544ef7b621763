#pragma once

#include <QSharedPointer>
#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "core/TList.h"

class BinItem;
class Packet;
class QWidget;

// The glyphs of rows that a rebuild replaces, made into the rebuild's new
// glyphs instead of being freed: a rebuild of many events then fills
// memory it has at hand instead of asking the system for fresh memory.
// What a reused glyph held (its texts, its events, the texts of its
// stacked glyphs) is not let go of on the building threads but kept; it
// goes with the glyphs not reused to the background thread that frees
// large structures once the stock goes, as the old glyphs would have.
//
// The glyphs are numbered in the order of the rows given, row by row.
// Threads: add() and claim() on one thread; each Share on one thread, the
// shares of ranges that do not overlap on several at once.
class ItemStock
{
public:
    ItemStock();
    ~ItemStock();
    ItemStock(const ItemStock&) = delete;
    ItemStock& operator=(const ItemStock&) = delete;

    // Takes the rows' glyphs; the rows are left empty.
    void add(TList<TList<BinItem*>>& rows);
    std::size_t size() const { return starts.back(); }
    // Where the next `count` glyphs of the stock start; the caller shares
    // them out (a share past the end makes new glyphs).
    std::size_t claim(std::size_t count);

    // The glyphs numbered [from, from + count), for one piece of work.
    class Share
    {
    public:
        Share(ItemStock& stock, std::size_t from, std::size_t count);
        // Hands what the share kept to the stock.
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // A glyph equal to BinItem(nullptr, owner) holding `event` alone,
        // the caller's: the next glyph of the share emptied (an event it
        // held that is `event` stays), or a new one once none is left.
        BinItem* make(QWidget* owner, const QSharedPointer<Packet>& event);
        // A reused glyph keeps the room of its list of stacked glyphs: when
        // it stacks none, the room goes with the rest.
        void dropChildren(BinItem& glyph);

        // What the reused glyphs held; the shares' lists are chained.
        struct Kept
        {
            std::vector<QString> texts;
            std::vector<QSharedPointer<Packet>> events;
            std::vector<std::vector<BinItem>> childLists;
            Kept* older = nullptr;
        };

    private:
        void keep(BinItem& glyph);
        // The place of the next glyph, or null once the share is used up.
        BinItem** nextPlace();

        ItemStock& stock;
        std::size_t row;      // the row of the next glyph
        std::size_t at;       // its place in the row
        std::size_t left;     // glyphs of the share not looked at
        std::unique_ptr<Kept> kept;
        std::unique_ptr<BinItem> blank;   // what make() turns a glyph into
    };

private:
    // The rows' lists, null where a share took the glyph, and the number
    // of the first glyph of each (one more for the end).
    std::vector<TList<BinItem*>> rows;
    std::vector<std::size_t> starts{0};
    std::size_t claimed = 0;
    std::mutex mutex;                         // guards kept
    Share::Kept* kept = nullptr;              // owned, the last handed back first
};
