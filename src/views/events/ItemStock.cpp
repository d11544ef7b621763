#include "views/events/ItemStock.h"

#include <algorithm>
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

ItemStock::~ItemStock()
{
    // Everything goes to the background thread in one piece.
    struct Held
    {
        std::vector<BinItem*> glyphs;
        std::vector<TList<BinItem*>> rowLists;
        Share::Kept* kept = nullptr;
        ~Held()
        {
            for (BinItem* glyph : glyphs)
                delete glyph;
            while (kept) {
                Share::Kept* older = kept->older;
                delete kept;
                kept = older;
            }
        }
    };
    auto held = std::make_unique<Held>();
    std::size_t count = glyphs.size() + rowLists.size();
    for (const Share::Kept* k = kept; k; k = k->older)
        count += k->texts.size() + k->events.size() + k->childLists.size();
    held->glyphs = std::move(glyphs);
    held->rowLists = std::move(rowLists);
    held->kept = kept;
    kept = nullptr;
    deferredrelease::release(std::move(held), count);
}

void ItemStock::add(TList<TList<BinItem*>>& rows)
{
    std::size_t count = 0;
    for (const TList<BinItem*>& row : rows.items)
        count += row.items.size();
    glyphs.reserve(glyphs.size() + count);
    rowLists.reserve(rowLists.size() + rows.items.size());
    for (TList<BinItem*>& row : rows.items) {
        for (BinItem* glyph : row.items)
            if (glyph)
                glyphs.push_back(glyph);
        row.items.clear();
        rowLists.push_back(std::move(row));
    }
    rows.items.clear();
}

std::size_t ItemStock::claim(std::size_t count)
{
    const std::size_t from = claimed;
    claimed += count;
    return from;
}

ItemStock::Share::Share(ItemStock& stock, std::size_t from, std::size_t count)
    : stock(stock),
      next(stock.glyphs.data() + std::min(from, stock.glyphs.size())),
      end(stock.glyphs.data() + std::min(from + count, stock.glyphs.size())),
      kept(std::make_unique<Kept>())
{
    // Most reused glyphs hold a text or two and an event.
    const std::size_t n = std::size_t(end - next);
    kept->texts.reserve(2 * n);
    kept->events.reserve(n);
}

ItemStock::Share::~Share()
{
    std::lock_guard<std::mutex> lock(stock.mutex);
    kept->older = stock.kept;
    stock.kept = kept.release();
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

BinItem* ItemStock::Share::make(QWidget* owner)
{
    for (; next != end; ++next) {
        BinItem* glyph = *next;
        // A glyph not reused stays in the stock, which frees it.
        if (!reusable(*glyph))
            continue;
        if (!blank || blank->owner != owner)
            blank = std::make_unique<BinItem>(nullptr, owner);
        // Its texts and events are kept, so that taking the blank glyph's
        // values lets go of nothing here; its lists keep their room.
        keep(*glyph);
        *glyph = *blank;
        *next++ = nullptr;
        return glyph;
    }
    return new BinItem(nullptr, owner);
}

void ItemStock::Share::dropChildren(BinItem& glyph)
{
    if (glyph.children.items.empty() && glyph.children.items.capacity() > 0)
        kept->childLists.push_back(std::move(glyph.children.items));
}
