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
// Threads: add() and claim() on one thread; each Share on one thread, the
// shares of ranges that do not overlap on several at once.
class ItemStock
{
public:
    ItemStock();
    ~ItemStock();
    ItemStock(const ItemStock&) = delete;
    ItemStock& operator=(const ItemStock&) = delete;

    // Takes the glyphs of the rows, row by row; the rows are left empty.
    void add(TList<TList<BinItem*>>& rows);
    std::size_t size() const { return glyphs.size(); }
    // Where the next `count` glyphs of the stock start; the caller shares
    // them out (a share past the end makes new glyphs).
    std::size_t claim(std::size_t count);

    // The glyphs at [from, from + count) of the stock, for one piece of
    // work.
    class Share
    {
    public:
        Share(ItemStock& stock, std::size_t from, std::size_t count);
        // Hands what the share kept back to the stock.
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // A glyph equal to BinItem(nullptr, owner), the caller's: the next
        // glyph of the share emptied, or a new one once none is left.
        BinItem* make(QWidget* owner);
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

        ItemStock& stock;
        BinItem** next;
        BinItem** end;
        std::unique_ptr<Kept> kept;
        std::unique_ptr<BinItem> blank;   // what make() turns a glyph into
    };

private:
    // Null where a share took the glyph.
    std::vector<BinItem*> glyphs;
    std::size_t claimed = 0;
    std::vector<TList<BinItem*>> rowLists;   // the emptied lists of the rows
    std::mutex mutex;                         // guards kept
    Share::Kept* kept = nullptr;              // owned, the last handed back first
};
