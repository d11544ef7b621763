#include "views/events/ItemStock.h"

#include <algorithm>
#include <new>
#include <typeinfo>
#include <utility>

#include "core/DeferredRelease.h"
#include "core/Packet.h"
#include "items/BinItem.h"

namespace {

// A glyph whose lists hold more room than this is not reused: an event's
// glyph would keep the room of a stacked glyph's many events.
constexpr std::size_t SMALL_LIST = 4;

bool reusable(const BinItem& glyph)
{
    return typeid(glyph) == typeid(BinItem) && glyph.packets.items.capacity() <= SMALL_LIST
           && glyph.children.items.capacity() <= SMALL_LIST && glyph.colorStops.items.capacity() <= SMALL_LIST;
}

void keepText(QString& text, std::vector<QString>& texts)
{
    if (!text.isNull())
        texts.push_back(std::move(text));
}

} // namespace

ItemStock::ItemStock() = default;

namespace {

// What a stock leaves: the glyphs no share took and what the glyphs taken
// held.
struct Held
{
    std::vector<TList<BinItem*>> rows;
    ItemStock::Share::Kept* kept = nullptr;
    ~Held()
    {
        for (const TList<BinItem*>& row : rows)
            for (BinItem* glyph : row.items)
                delete glyph;
        while (kept) {
            ItemStock::Share::Kept* older = kept->older;
            delete kept;
            kept = older;
        }
    }
};

} // namespace

ItemStock::~ItemStock()
{
    // Everything goes to the background thread in one piece; without the
    // memory to hand it over (a rebuild that ran out of it), it goes here.
    Held left;
    left.rows = std::move(rows);
    left.kept = kept;
    kept = nullptr;
    try {
        auto held = std::make_unique<Held>();
        std::size_t count = starts.back() + left.rows.size();
        for (const Share::Kept* k = left.kept; k; k = k->older)
            count += k->texts.size() + k->events.size() + k->childLists.size();
        std::swap(held->rows, left.rows);
        std::swap(held->kept, left.kept);
        deferredrelease::release(std::move(held), count);
    } catch (const std::bad_alloc&) {
    }
}

void ItemStock::add(TList<TList<BinItem*>>& taken)
{
    rows.reserve(rows.size() + taken.items.size());
    starts.reserve(starts.size() + taken.items.size());
    for (TList<BinItem*>& row : taken.items) {
        starts.push_back(starts.back() + row.items.size());
        rows.push_back(std::move(row));
    }
    taken.items.clear();
}

std::size_t ItemStock::claim(std::size_t count)
{
    const std::size_t from = claimed;
    claimed += count;
    return from;
}

ItemStock::Share::Share(ItemStock& stock, std::size_t from, std::size_t count)
    : stock(stock), row(0), at(0), left(0), kept(std::make_unique<Kept>())
{
    const std::size_t size = stock.size();
    if (from >= size)
        return;
    left = std::min(count, size - from);
    // The row holding glyph `from`: the last that starts at it or before.
    row = std::size_t(std::upper_bound(stock.starts.begin(), stock.starts.end(), from) - stock.starts.begin()) - 1;
    at = from - stock.starts[row];
    // Most reused glyphs hold a text or two.
    kept->texts.reserve(2 * left);
}

ItemStock::Share::~Share()
{
    std::lock_guard<std::mutex> lock(stock.mutex);
    kept->older = stock.kept;
    stock.kept = kept.release();
}

BinItem** ItemStock::Share::nextPlace()
{
    if (left == 0)
        return nullptr;
    while (at >= stock.rows[row].items.size()) {
        ++row;
        at = 0;
    }
    --left;
    return &stock.rows[row].items[at++];
}

void ItemStock::Share::keep(BinItem& glyph)
{
    keepText(glyph.name, kept->texts);
    keepText(glyph.label, kept->texts);
    keepText(glyph.detail, kept->texts);
    for (QSharedPointer<Packet>& event : glyph.packets.items)
        if (event)
            kept->events.push_back(std::move(event));
    for (BinItem& child : glyph.children.items)
        keep(child);
}

BinItem* ItemStock::Share::make(QWidget* owner, const QSharedPointer<Packet>& event)
{
    while (BinItem** place = nextPlace()) {
        BinItem* glyph = *place;
        // A glyph not reused stays in the stock, which frees it.
        if (!glyph || !reusable(*glyph))
            continue;
        if (!blank || blank->owner != owner)
            blank = std::make_unique<BinItem>(nullptr, owner);
        // Its texts and events are kept, so that taking the blank glyph's
        // values lets go of nothing here; its lists keep their room. Where
        // the rows are built again from the same traces, most glyphs held
        // the very event they hold next.
        QSharedPointer<Packet> same;
        if (glyph->packets.items.size() == 1 && glyph->packets.items.front() == event)
            same.swap(glyph->packets.items.front());
        keep(*glyph);
        *glyph = *blank;
        if (same)
            glyph->packets.items.push_back(std::move(same));
        else
            glyph->packets.items.push_back(event);
        // The caller's from here on.
        *place = nullptr;
        return glyph;
    }
    auto glyph = std::make_unique<BinItem>(nullptr, owner);
    glyph->packets.items.push_back(event);
    return glyph.release();
}

void ItemStock::Share::dropChildren(BinItem& glyph)
{
    if (glyph.children.items.empty() && glyph.children.items.capacity() > 0)
        kept->childLists.push_back(std::move(glyph.children.items));
}
