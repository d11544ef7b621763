#include "views/sequences/SequenceWidget.h"

#include "app/ControlWidget.h"
#include "app/InspectWidget.h"
#include "app/MessageAsker.h"
#include "core/Constants.h"
#include "core/DeferredRelease.h"
#include "core/HandlerGuard.h"
#include "core/OnExit.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"
#include "items/BinItem.h"
#include "items/ScreenPlacement.h"
#include "model/GlyphStore.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ParseNode.h"
#include "views/attributes/HistogramWidget.h"
#include "views/events/BinCell.h"
#include "views/events/SortTriangle.h"
#include "views/sequences/AlignmentBudget.h"
#include "views/sequences/SequenceAlignment.h"

#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QProgressDialog>
#include <QMouseEvent>
#include <QPainter>
#include <QSet>
#include <QStringBuilder>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const QColor START_COLOUR(177, 189, 197);
const QColor OVERLAY_FILL(255, 128, 0, 120);

// The label and path part of an item's name: "*" for an empty name.
QString nameOrStar(const BinItem* item)
{
    static const QString star = QStringLiteral("*");
    return item->name.isEmpty() ? star : item->name;
}

// Empties a vector and gives its memory back.
template <class T> void release(std::vector<T>& v)
{
    std::vector<T>().swap(v);
}

// Resizes a vector, giving its memory back first when it holds far more.
template <class T> void fit(std::vector<T>& v, std::size_t n)
{
    if (v.capacity() > 2 * n + 1024)
        release(v);
    v.resize(n);
}

// Copies of glyphs that the view lets go of: rows of them, and the items of
// a list from a place on.
struct HeldCopies
{
    std::vector<TList<BinItem*>> rows;
    std::vector<BinItem*> items;
    std::size_t from = 0;

    ~HeldCopies()
    {
        for (TList<BinItem*>& row : rows)
            for (BinItem* item : row.items)
                delete item;
        for (std::size_t k = from; k < items.size(); ++k)
            delete items[k];
    }
};

// Frees the items of `rows` and those of `items` from `from` on, emptying
// both: on the background thread that frees large structures when they are
// many (they are plain data that any thread may free, as the matrix's rows
// are), here otherwise. Without the memory for the holder they are freed
// here: freeing needs none.
void releaseCopies(std::vector<TList<BinItem*>>* rows, std::vector<BinItem*>* items, std::size_t from) noexcept
{
    std::unique_ptr<HeldCopies> held(new (std::nothrow) HeldCopies);
    if (!held) {
        HeldCopies here;
        if (rows)
            here.rows.swap(*rows);
        if (items)
            here.items.swap(*items);
        here.from = from;
        return;
    }
    if (rows)
        held->rows.swap(*rows);
    if (items)
        held->items.swap(*items);
    held->from = std::min(from, held->items.size());
    // The rows' lists count too.
    std::size_t count = held->items.size() - held->from + held->rows.size();
    for (const TList<BinItem*>& row : held->rows)
        count += row.items.size();
    // A few glyphs may hold many events each (stacked rows).
    if (count < deferredrelease::FEW) {
        for (const TList<BinItem*>& row : held->rows)
            for (const BinItem* item : row.items)
                count += item ? item->packets.items.size() : 0;
        for (std::size_t k = held->from; k < held->items.size(); ++k)
            count += held->items[k] ? held->items[k]->packets.items.size() : 0;
    }
    deferredrelease::release(std::move(held), count);
}

int truncated(double v)
{
    if (!(v == v))
        return 0;
    if (v >= 2147483647.0)
        return 2147483647;
    if (v <= -2147483648.0)
        return -2147483647 - 1;
    return int(v);
}

} // namespace

SequenceWidget::SequenceWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent)
    , owner(owner)
{
    setMouseTracking(true);
    contextMenu = new QMenu(this);
    selectSequencesAction = contextMenu->addAction(QStringLiteral("Select sequences.."));
    inspectSelectionAction = contextMenu->addAction(QStringLiteral("Inspect selection.."));
    inspectFrequenciesAction = contextMenu->addAction(QStringLiteral("Inspect frequencies.."));
    connect(selectSequencesAction, &QAction::triggered, this, &SequenceWidget::selectSequences);
    connect(inspectSelectionAction, &QAction::triggered, this, &SequenceWidget::inspect);
    connect(inspectFrequenciesAction, &QAction::triggered, this, &SequenceWidget::inspectFreq);
    hoverTimer = new QTimer(this);
    hoverTimer->setInterval(1000);
    connect(hoverTimer, &QTimer::timeout, this, &SequenceWidget::hoverTimeOut);
    stacker = new BinCell(owner, nullptr, QString(), this);
    partTimer = new QTimer(this);
    partTimer->setSingleShot(true);
    partTimer->setInterval(0);
    connect(partTimer, &QTimer::timeout, this, &SequenceWidget::runPart);
}

void SequenceWidget::placeSortTriangles()
{
    for (int k = 0; k < sortTriangles.size(); ++k) {
        SortTriangle* triangle = sortTriangles.items[std::size_t(k)];
        triangle->setX(leftMargin + k * (itemWidth + columnGap));
        triangle->setY(topOffset);
        triangle->setWidth(itemWidth);
        triangle->setHeight(headerHeight);
    }
}

void SequenceWidget::dropGaps()
{
    if (alignedGaps) {
        for (BinItem* gap : gapItems.items)
            delete gap;
    }
    gapItems.clear();
    alignedGaps = false;
}

SequenceWidget::~SequenceWidget()
{
    abandonCopy();
    dropCells();
    for (SortTriangle* triangle : sortTriangles.items)
        delete triangle;
    if (alignedGaps) {
        for (BinItem* gap : gapItems.items)
            delete gap;
    }
    delete paddingGap;
    delete automaton;
    delete currentQuery;
    deleteSequences(builtSequences);
    deleteSequences(lastSequences);
    delete stacker;
}

// ---------------------------------------------------------------------------
// Input

bool SequenceWidget::takeSpares(const TList<TList<BinItem*>>& sequences, TList<TList<BinItem*>>& spares,
                                std::vector<BinItem*>& into)
{
    const BinItem* firstGiven = nullptr;
    for (const TList<BinItem*>& sequence : sequences.items) {
        for (const BinItem* item : sequence.items) {
            if (item) {
                firstGiven = item;
                break;
            }
        }
        if (firstGiven)
            break;
    }
    std::size_t wanted = 0;
    for (const TList<BinItem*>& sequence : sequences.items)
        wanted += sequence.items.size();
    bool given = false;
    std::size_t held = 0;
    for (const TList<BinItem*>& sequence : spares.items) {
        held += sequence.items.size();
        // Spares are never null: without a first item nothing is given.
        if (firstGiven && !given)
            given = std::find(sequence.items.begin(), sequence.items.end(), firstGiven) != sequence.items.end();
    }
    // Spares that are what is given are read by the copy: all of them stay
    // until it is made. Otherwise only those the copy can use are taken and
    // the rest go at once (on the background thread when they are many).
    const std::size_t take = given ? held : std::min(held, wanted);
    into.reserve(into.size() + take);
    std::size_t taken = 0;
    for (TList<BinItem*>& sequence : spares.items) {
        for (BinItem*& item : sequence.items) {
            if (taken == take)
                break;
            into.push_back(item);
            item = nullptr;
            ++taken;
        }
    }
    releaseCopies(&spares.items, nullptr, 0);
    spares.clear();
    return given;
}

TList<BinItem*> SequenceWidget::copySequence(const TList<BinItem*>& sequence, const std::vector<BinItem*>& spares,
                                             std::size_t& used)
{
    // Only what the view, the stacking, the guide tree and the alignment
    // read: the rest keeps the values of a new item. The condition belongs
    // to the store of the sender and is never read here.
    static const BinItem blank(nullptr, nullptr);
    TList<BinItem*> copy;
    copy.items.reserve(sequence.items.size());
    // Every item taken is in the copy before it is filled in: out of
    // memory, the copy's items go (the spares taken among them are the
    // copy's from then on, as `used` says).
    try {
        for (const BinItem* item : sequence.items) {
            BinItem* own = used < spares.size() ? spares[used++] : new BinItem(nullptr, nullptr);
            copy.items.push_back(own);
            const BinItem& from = item ? *item : blank;
            own->id = from.id;
            own->name = from.name;
            own->label = from.label;
            own->fillColor = from.fillColor;
            own->packets = from.packets;
            own->totalCount = from.totalCount;
            own->children = from.children;
        }
    } catch (...) {
        for (BinItem* own : copy.items)
            delete own;
        throw;
    }
    return copy;
}

TList<TList<BinItem*>> SequenceWidget::copySequences(const TList<TList<BinItem*>>& sequences,
                                                     TList<TList<BinItem*>>& spares)
{
    // The spares' items are overwritten in turn rather than deleted and
    // made anew; those left over are deleted. Items given again as input
    // (the caller's own copies) would be overwritten before they are read:
    // then every copy is a new item.
    // Out of memory, the spares stay where they are until they are all
    // taken; from then on the spares and the copies made go.
    // What is left over goes to the background thread (releaseCopies).
    std::vector<BinItem*> reuse;
    if (takeSpares(sequences, spares, reuse)) {
        TList<TList<BinItem*>> copies;
        try {
            copies = copySequences(sequences, spares);
        } catch (...) {
            releaseCopies(nullptr, &reuse, 0);
            throw;
        }
        releaseCopies(nullptr, &reuse, 0);
        return copies;
    }

    std::size_t next = 0;
    TList<TList<BinItem*>> copies;
    try {
        copies.items.reserve(sequences.items.size());
        for (const TList<BinItem*>& sequence : sequences.items)
            copies.items.push_back(copySequence(sequence, reuse, next));
    } catch (...) {
        deleteSequences(copies);
        releaseCopies(nullptr, &reuse, next);
        throw;
    }
    releaseCopies(nullptr, &reuse, next);
    return copies;
}

void SequenceWidget::startCopy(const TList<TList<BinItem*>>& sequences)
{
    abandonCopy();
    stopParts();
    // What the copy needs is made before anything changes: room for every
    // copied row (a row copied is added without allocating) and for the
    // spares.
    TList<TList<BinItem*>> source = sequences;
    TList<TList<BinItem*>> rowsCopied;
    rowsCopied.items.reserve(sequences.items.size());
    std::size_t stored = 0;
    for (const TList<BinItem*>& sequence : lastSequences.items)
        stored += sequence.items.size();
    std::vector<BinItem*> spares;
    spares.reserve(stored);
    copySource.items.swap(source.items);
    copied.items.swap(rowsCopied.items);
    copyReleases = BinCell::itemReleases();
    // The items of the stored copies are reused for the new ones, unless
    // they are what is given.
    copySparesUsed = 0;
    if (takeSpares(sequences, lastSequences, spares))
        copyGiven.swap(spares);
    else
        copySpares.swap(spares);
    copyRow = 0;
    partPhase = Copying;
    // Nothing of the last rows is shown meanwhile: they point at the items
    // that are reused.
    forgetStates();
    rows.clear();
    for (SortTriangle* triangle : sortTriangles.items)
        delete triangle;
    sortTriangles.clear();
    sortColumn = 0;
    twins.clear();
    delete currentQuery;
    currentQuery = nullptr;
    overlayPaths.clear();
    clickedEvents.clear();
    partTimer->start();
    update();
}

bool SequenceWidget::continueCopy(const QElapsedTimer* clock, qint64 budgetMs)
{
    bool progressed = false;
    for (; copyRow < copySource.size(); ++copyRow) {
        if (clock && progressed && clock->elapsed() >= budgetMs)
            return false;
        progressed = true;
        copied.items.push_back(copySequence(copySource.items[std::size_t(copyRow)], copySpares, copySparesUsed));
    }
    return true;
}

void SequenceWidget::finishCopy()
{
    // The spares left over, and the stored copies when they were what was
    // given, go once the copy is made.
    releaseCopies(nullptr, &copySpares, copySparesUsed);
    releaseCopies(nullptr, &copyGiven, 0);
    copySparesUsed = 0;
    lastSequences = std::move(copied);
    copied.clear();
    copySource.clear();
    partPhase = NoPart;
    partTimer->stop();
}

void SequenceWidget::abandonCopy()
{
    if (partPhase != Copying)
        return;
    partTimer->stop();
    partPhase = NoPart;
    deleteSequences(copied);
    releaseCopies(nullptr, &copySpares, copySparesUsed);
    releaseCopies(nullptr, &copyGiven, 0);
    copySparesUsed = 0;
    copySource.clear();
}

void SequenceWidget::completeCopy()
{
    if (partPhase != Copying)
        return;
    if (BinCell::itemReleases() != copyReleases) {
        abandonCopy();
        emit sequencesGone();
        return;
    }
    continueCopy(nullptr, 0);
    finishCopy();
}

void SequenceWidget::deleteSequences(TList<TList<BinItem*>>& sequences)
{
    releaseCopies(&sequences.items, nullptr, 0);
    sequences.clear();
}

bool SequenceWidget::isGap(const BinItem* item)
{
    return item && item->name.contains(QLatin1String("dummy"));
}

void SequenceWidget::setContext(Context*)
{
}

std::shared_ptr<TList<TList<BinItem*>>> SequenceWidget::heldCopies(
    const TList<TList<BinItem*>>& sequences)
{
    struct Held
    {
        TList<TList<BinItem*>> copies;
        ~Held() { deleteSequences(copies); }
    };
    auto held = std::make_shared<Held>();
    TList<TList<BinItem*>> none;
    held->copies = copySequences(sequences, none);
    return std::shared_ptr<TList<TList<BinItem*>>>(held, &held->copies);
}

template <class Step> void SequenceWidget::guarded(Step&& step)
{
    if (guardDepth > 0) {
        step();
        return;
    }
    bool failed = false;
    {
        struct Depth
        {
            explicit Depth(int& depth) : depth(depth) { ++depth; }
            ~Depth() { --depth; }
            int& depth;
        } depth(guardDepth);
        try {
            step();
        } catch (const std::bad_alloc&) {
            failed = true;
        } catch (const std::length_error&) {
            failed = true;
        }
    }
    // The message is shown outside the step: what its event loop delivers
    // is guarded on its own.
    if (failed)
        outOfMemory();
}

void SequenceWidget::outOfMemory()
{
    if (aligning) {
        // Called from within an alignment's progress report: what the
        // alignment reads stays, and it stops at its next report.
        failedWhileAligning = true;
        return;
    }
    const int alignmentCount = alignmentCopyFailed;
    alignmentCopyFailed = -1;
    // Everything the view holds goes, none of it read again: the rows and
    // the states first (they point at the copies), then the copies. Nothing
    // here allocates.
    stopParts();
    partSource = nullptr;
    resumingParts = false;
    partsSetWidth = false;
    merging = false;
    layingOutAtOnce = false;
    relayoutWanted = false;
    mergeProgress = nullptr;
    supersede = false;
    failedWhileAligning = false;
    std::vector<std::function<void()>>().swap(deferredBuilds);
    progressDialog.reset();
    forgetStates();
    rows.clear();
    twins.clear();
    for (SortTriangle* triangle : sortTriangles.items)
        delete triangle;
    sortTriangles.clear();
    sortColumn = 0;
    delete currentQuery;
    currentQuery = nullptr;
    overlayPaths.clear();
    clickedEvents.clear();
    dropGaps();
    deleteSequences(lastSequences);
    deleteSequences(builtSequences);
    textIds.clear();
    std::vector<QString>().swap(texts);
    std::vector<char>().swap(textIsGap);
    std::vector<QColor>().swap(palette);
    paletteIds.clear();
    for (ItemText& entry : itemTexts)
        entry = ItemText();
    stateHint = 0;
    // The message of an alignment that was under way is this one.
    alignmentProblem.clear();
    // The alignment is switched off with the rows it was for.
    const bool dropped = msaOn || alignmentCount >= 0;
    msaOn = false;
    // The view is empty and holds nothing from here on; what tells of it
    // allocates: without the memory for it, the application tells.
    try {
        update();
        if (dropped)
            emit alignmentDropped();
        if (alignmentCount >= 0) {
            MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Multiple Sequence Alignment"),
                                 QStringLiteral("The alignment of %1 sequences was not started: the sequence view "
                                                "ran out of memory while copying them and was emptied. A smaller "
                                                "selection can be shown.")
                                     .arg(alignmentCount),
                                 window());
            return;
        }
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Sequence View"),
                             QStringLiteral("The sequence view ran out of memory while building its rows and was "
                                            "emptied. A smaller selection can be shown."),
                             window());
    } catch (const std::bad_alloc&) {
        HandlerGuard::failed();
    }
}

void SequenceWidget::defer(std::function<void()> build, bool rebuild)
{
    deferredBuilds.push_back(std::move(build));
    supersede = supersede || rebuild;
}

void SequenceWidget::buildSequences(const TList<TList<BinItem*>>& sequences)
{
    guarded([&]() {
        if (aligning) {
            auto copies = heldCopies(sequences);
            defer([this, copies]() { buildSequences(*copies); });
            return;
        }
        completeCopy();
        // The items of the last build's copies are reused for the new ones;
        // the rows point at them until buildRows replaces the rows, reading
        // none.
        builtSequences = copySequences(sequences, builtSequences);
        buildRows(builtSequences);
    });
}

void SequenceWidget::showSequences(const TList<TList<BinItem*>>& sequences)
{
    guarded([&]() {
        if (aligning) {
            auto copies = heldCopies(sequences);
            defer([this, copies]() { showSequences(*copies); });
            return;
        }
        qint64 glyphs = 0;
        for (const TList<BinItem*>& sequence : sequences.items)
            glyphs += sequence.size();
        if (glyphs >= partsFrom) {
            startCopy(sequences);
            return;
        }
        abandonCopy();
        // The items of the stored copies are reused for the new ones; the
        // rows point at them until the rebuild replaces the rows, reading
        // none.
        lastSequences = copySequences(sequences, lastSequences);
        recompute();
    });
}

void SequenceWidget::setMSA(bool on)
{
    guarded([&]() {
        if (aligning) {
            defer([this, on]() { setMSA(on); });
            return;
        }
        const int copying = partPhase == Copying ? copySource.size() : -1;
        try {
            completeCopy();
        } catch (const std::bad_alloc&) {
            if (on)
                alignmentCopyFailed = copying;
            throw;
        }
        msaOn = on;
        buildRows(lastSequences);
        deleteSequences(builtSequences);
    });
}

void SequenceWidget::recompute()
{
    guarded([&]() {
        if (aligning) {
            defer([this]() { recompute(); });
            return;
        }
        completeCopy();
        buildRows(lastSequences);
        deleteSequences(builtSequences);
        updateMinimumWidth();
        partsSetWidth = building();
    });
}

int SequenceWidget::columnCount() const
{
    return rows.isEmpty() ? 0 : rows.first().size();
}

void SequenceWidget::updateMinimumWidth()
{
    int longest = 1;
    for (const TList<BinItem*>& row : rows.items)
        longest = std::max(longest, row.size());
    setMinimumWidth(truncated(columnGap + longest * itemWidth + 50));
}

void SequenceWidget::buildRows(const TList<TList<BinItem*>>& sequences)
{
    buildRows(sequences, msaOn);
}

void SequenceWidget::stopParts()
{
    abandonCopy();
    if (partPhase == NoPart)
        return;
    partTimer->stop();
    partPhase = NoPart;
    partSource = nullptr;
    partsSetWidth = false;
    merging = false;
    mergeLabelIds.clear();
    release(layoutStack);
}

void SequenceWidget::runPart()
{
    // Out of memory, the view empties (see guarded).
    guarded([this]() {
        if (partPhase == Stacking) {
            resumingParts = true;
            buildRows(*partSource, false);
            return;
        }
        QElapsedTimer clock;
        clock.start();
        if (partPhase == Copying) {
            if (BinCell::itemReleases() != copyReleases) {
                // The sender's items may be gone: none is read.
                abandonCopy();
                update();
                emit sequencesGone();
                return;
            }
            if (!continueCopy(&clock, partMs)) {
                partTimer->start();
                return;
            }
            finishCopy();
            recompute();
            return;
        }
        if (partPhase == LayingOut) {
            if (!continueLayout(&clock, partMs)) {
                partTimer->start();
                return;
            }
            partPhase = NoPart;
            finishLayout();
            runDeferred();
            return;
        }
        if (partPhase != Merging)
            return;
        const int total = rows.size();
        while (mergeAt < total) {
            mergeRows(mergeAt, mergeAt + 1);
            ++mergeAt;
            if (clock.elapsed() >= partMs)
                break;
        }
        if (mergeAt < total) {
            partTimer->start();
            return;
        }
        const bool setWidth = partsSetWidth;
        partPhase = NoPart;
        partSource = nullptr;
        partsSetWidth = false;
        // Many states are laid out in parts in turn.
        finishMerge();
        if (setWidth)
            updateMinimumWidth();
        runDeferred();
    });
}

void SequenceWidget::runDeferred()
{
    if (deferredBuilds.empty() || aligning || building())
        return;
    std::vector<std::function<void()>> builds;
    builds.swap(deferredBuilds);
    supersede = false;
    for (const std::function<void()>& build : builds)
        build();
}

void SequenceWidget::buildRows(const TList<TList<BinItem*>>& sequences, bool align)
{
    // The rows shown now are those of a whole unaligned build with its
    // states (not sorted): should an alignment of the same rows stop, they
    // stay.
    const bool shownUnaligned = !building() && !alignedGaps && sortColumn == 0 && !rows.isEmpty();
    const bool resumed = resumingParts;
    resumingParts = false;
    // A build under way gives way to this one (or goes on, as this one).
    const bool setWidth = resumed && partsSetWidth;
    stopParts();
    partsSetWidth = setWidth;
    bool inParts = false;
    if (!align && (&sequences == &lastSequences || &sequences == &builtSequences)) {
        qint64 glyphs = 0;
        for (const TList<BinItem*>& sequence : sequences.items)
            glyphs += sequence.size();
        inParts = glyphs >= partsFrom;
    }
    if (inParts && !resumed) {
        // The rows of the last build point at copies that are gone or
        // overwritten: the view empties now, and the next turn of the
        // event loop stacks the sequences.
        forgetStates();
        rows.clear();
        for (SortTriangle* triangle : sortTriangles.items)
            delete triangle;
        sortTriangles.clear();
        sortColumn = 0;
        twins.clear();
        partSource = &sequences;
        partPhase = Stacking;
        merging = true;
        partTimer->start();
        update();
        return;
    }

    // The sequences are stacked before anything shown changes: should the
    // memory run out meanwhile, the rows and states shown are whole.
    TList<TList<BinItem*>> built;
    QHash<BinItem*, TList<BinItem*>> stackedTwins;
    bool stacked = false;
    try {
        const TList<TList<TList<BinItem*>>> groups = stacker->buildStacked(sequences);
        built.items.reserve(groups.items.size());
        for (const TList<TList<BinItem*>>& group : groups.items) {
            const TList<BinItem*>& first = group.items.front();
            built.append(first);
            if (group.size() > 1) {
                for (int j = 0; j < first.size(); ++j) {
                    TList<BinItem*>& same = stackedTwins[first.items[std::size_t(j)]];
                    for (int g = 1; g < group.size(); ++g) {
                        const TList<BinItem*>& other = group.items[std::size_t(g)];
                        if (j < other.size())
                            same.append(other.items[std::size_t(j)]);
                    }
                }
            }
        }
        // Room for the gap item of the rows, added without allocating.
        gapItems.items.reserve(1);
        stacked = true;
    } catch (const std::bad_alloc&) {
        if (!align)
            throw;
    } catch (const std::length_error&) {
        if (!align)
            throw;
    }
    if (!stacked) {
        // Not even the alignment's input could be made: the alignment is
        // switched off and says so, the unaligned rows shown stay (or are
        // built, when others were shown).
        built.clear();
        stackedTwins.clear();
        alignmentProblem = alignmentNotStarted(sequences.size());
        msaOn = false;
        emit alignmentDropped();
        progressDialog.reset();
        if (shownUnaligned) {
            showAlignmentProblem();
            runDeferred();
            return;
        }
        // Said once the rebuild is under way: should it run out of memory,
        // its own message says so instead.
        buildRows(sequences, false);
        showAlignmentProblem();
        return;
    }

    twins.swap(stackedTwins);
    stackedTwins.clear();
    // Gaps that lengthened short rows are kept for the next padding; those
    // of the alignment are deleted.
    dropGaps();

    delete currentQuery;
    currentQuery = nullptr;

    int length = 0;
    TList<TList<BinItem*>> shownBefore;
    const bool aligned = align && !built.isEmpty() && alignRows(built, shownUnaligned ? &shownBefore : nullptr);
    if (aligned) {
        // The alignment puts one gap glyph of its own at every gap position:
        // the first gap entry that is none of the given glyphs. It is found
        // without allocating (the rows would lose it otherwise): given
        // glyphs named as gaps are few.
        length = built.isEmpty() ? 0 : built.first().size();
        const BinItem* notOwn = nullptr;
        auto given = [&sequences](const BinItem* item) {
            for (const TList<BinItem*>& sequence : sequences.items) {
                if (std::find(sequence.items.begin(), sequence.items.end(), item) != sequence.items.end())
                    return true;
            }
            return false;
        };
        BinItem* own = nullptr;
        for (const TList<BinItem*>& row : built.items) {
            for (BinItem* item : row.items) {
                if (!isGap(item) || item == notOwn)
                    continue;
                if (!given(item)) {
                    own = item;
                    break;
                }
                notOwn = item;
            }
            if (own)
                break;
        }
        if (own)
            gapItems.append(own);
        alignedGaps = true;
    } else {
        for (const TList<BinItem*>& row : built.items)
            length = std::max(length, row.size());
        // One gap item stands at every position that lengthens a short
        // row; it is reused from build to build.
        BinItem* gap = nullptr;
        for (TList<BinItem*>& row : built.items) {
            if (row.size() >= length)
                continue;
            if (!gap) {
                if (!paddingGap)
                    paddingGap = new BinItem(nullptr, nullptr);
                else
                    *paddingGap = BinItem(nullptr, nullptr);
                gap = paddingGap;
                gap->name = GAP_GLYPH_NAME;
                gapItems.append(gap);
            }
            row.items.insert(row.items.end(), std::size_t(length - row.size()), gap);
        }
    }

    // An alignment that stopped over the rows shown before it leaves them
    // as they were, states and all: nothing to merge again.
    const bool unchanged = !aligned && !shownBefore.isEmpty()
                           && std::equal(shownBefore.items.begin(), shownBefore.items.end(), built.items.begin(),
                                         built.items.end(), [](const TList<BinItem*>& a, const TList<BinItem*>& b) {
                                             return a.items == b.items;
                                         });
    if (align && !aligned && !unchanged && !built.isEmpty()) {
        // Stopped, and the rows shown before were others: the reason is
        // said at once; a rebuild asked for meanwhile comes next, else the
        // unaligned build of the sequences (in parts, where they are many),
        // once it is under way.
        progressDialog.reset();
        if (!supersede) {
            buildRows(sequences, false);
            showAlignmentProblem();
            return;
        }
        showAlignmentProblem();
        std::vector<std::function<void()>> builds;
        builds.swap(deferredBuilds);
        supersede = false;
        for (const std::function<void()>& build : builds)
            build();
        return;
    }
    rows = std::move(built);
    for (SortTriangle* triangle : sortTriangles.items)
        delete triangle;
    sortTriangles.clear();
    sortColumn = 0;
    sortTriangles.items.reserve(std::size_t(length));
    for (int k = 0; k < length; ++k) {
        auto* triangle = new SortTriangle(owner, this);
        triangle->setState(k == 0 ? 0 : 2);
        sortTriangles.append(triangle);
    }
    if (unchanged) {
        // As the geometry pass places the triangles; the items stay.
        placeSortTriangles();
        overlayPaths.clear();
        clickedEvents.clear();
        // The rows are those the states were merged from again.
        passesCurrent = true;
        // A layout that ran out of memory while the alignment let events
        // through left none.
        if (!laidOut)
            computeGeometry();
        update();
    } else if (!aligned && inParts) {
        // The rows are merged a few at a time (runPart).
        beginMerge();
        mergeAt = 0;
        partSource = &sequences;
        partPhase = Merging;
        partTimer->start();
    } else if (!aligned) {
        mergeColumns();
    } else {
        // The states of many aligned rows take a while: the progress dialog
        // stays, rebuilds asked for meanwhile wait.
        const int count = rows.size();
        bool stopped = false;
        bool outOfMemory = false;
        aligning = true;
        try {
            mergeProgress = [this, count](int done, int total) {
                return reportProgress(AlignmentBudget::LayingOut, done, total, count);
            };
            mergeColumns();
        } catch (const AlignmentBudget::Stopped&) {
            stopped = true;
        } catch (const std::bad_alloc&) {
            stopped = true;
            outOfMemory = true;
        }
        mergeProgress = nullptr;
        aligning = false;
        if (stopped) {
            // The tables are dropped and the rows are shown unaligned.
            merging = false;
            forgetStates();
            rows.clear();
            const bool dropped = !supersede;
            supersede = false;
            if (dropped)
                msaOn = false;
            if (outOfMemory)
                alignmentProblem = alignmentFailure(count);
            if (dropped)
                emit alignmentDropped();
            buildRows(sequences, false);
            showAlignmentProblem();
            return;
        }
    }
    progressDialog.reset();
    showAlignmentProblem();
    runDeferred();
}

void SequenceWidget::showAlignmentProblem()
{
    if (alignmentProblem.isEmpty())
        return;
    const QString problem = alignmentProblem;
    alignmentProblem.clear();
    MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Multiple Sequence Alignment"), problem, window());
}

QString SequenceWidget::alignmentNotStarted(int count)
{
    return QStringLiteral("The alignment of %1 sequences was not started: there was not enough memory to "
                          "prepare it. The sequences are shown unaligned.")
        .arg(count);
}

QString SequenceWidget::alignmentFailure(int count)
{
    return QStringLiteral("The alignment of %1 distinct sequences ran out of memory and was "
                          "stopped. The sequences are shown unaligned.")
        .arg(count);
}

namespace {

QString bytesText(qint64 bytes)
{
    const double gib = double(bytes) / double(qint64(1) << 30);
    if (gib >= 1.0)
        return QString::number(gib, 'f', 1) + QStringLiteral(" GiB");
    return QString::number(double(bytes) / double(1 << 20), 'f', 0) + QStringLiteral(" MiB");
}

} // namespace

bool SequenceWidget::reportProgress(int phase, int done, int total, int count)
{
    AlignmentBudget::checkFailure(AlignmentBudget::Phase(phase));
    if (failedWhileAligning) {
        failedWhileAligning = false;
        throw std::bad_alloc();
    }
    if (supersede)
        return false;
    // Shown at once before a guide tree that takes long to build, else once
    // the alignment has run for a while.
    if (!progressDialog) {
        const bool longTree = phase == AlignmentBudget::Clustering && count >= LONG_GUIDE_TREE;
        if (!longTree && progressClock.elapsed() < progressDelay)
            return true;
        progressDialog.reset(new QProgressDialog(QString(), QStringLiteral("Cancel"), 0, 0, window()));
        progressDialog->setWindowTitle(QStringLiteral("Multiple Sequence Alignment"));
        progressDialog->setWindowModality(Qt::WindowModal);
        progressDialog->setAutoClose(false);
        progressDialog->setAutoReset(false);
        progressDialog->setMinimumDuration(0);
    }
    QString label;
    if (phase == AlignmentBudget::Clustering)
        label = QStringLiteral("Building the guide tree of %1 sequences...").arg(count);
    else if (phase == AlignmentBudget::Aligning)
        label = QStringLiteral("Aligning %1 sequences...").arg(count);
    else
        label = QStringLiteral("Laying out %1 aligned rows...").arg(count);
    const bool fresh = progressDialog->labelText() != label;
    if (fresh) {
        progressDialog->setLabelText(label);
        progressDialog->setMaximum(std::max(total, 0));
        progressDialog->show();
    } else if (total > 0 && total != progressDialog->maximum()) {
        // A phase that began without knowing its steps (a busy bar).
        progressDialog->setMaximum(total);
    }
    // Events every so often: the dialog's Cancel button, painting.
    if (fresh || progressClock.elapsed() - progressShownAt >= progressInterval) {
        progressShownAt = progressClock.elapsed();
        progressDialog->setValue(std::min(done, progressDialog->maximum()));
        // What the events start guards itself (see outOfMemory); whatever
        // runs out of memory meanwhile, here or in another handler, stops
        // the alignment as out of memory: it may be something the
        // alignment relies on.
        const int depth = guardDepth;
        guardDepth = 0;
        {
            OnExit restore([this, depth]() { guardDepth = depth; });
            const unsigned long failures = HandlerGuard::failures();
            QCoreApplication::processEvents();
            if (HandlerGuard::failures() != failures)
                failedWhileAligning = true;
        }
        if (failedWhileAligning) {
            failedWhileAligning = false;
            throw std::bad_alloc();
        }
    }
    return !progressDialog->wasCanceled() && !supersede;
}

bool SequenceWidget::alignRows(TList<TList<BinItem*>>& built, TList<TList<BinItem*>>* shownBefore)
{
    const int count = built.size();
    // While the alignment runs (its progress dialog lets events through),
    // the view keeps the states and items of its last build, which are its
    // own, but not the rows of that build, whose items may be gone: the
    // geometry and the overlay read none of them. They are handed back
    // only to be compared with the rows of a stopped alignment.
    if (shownBefore)
        *shownBefore = std::move(rows);
    rows.clear();
    passesCurrent = false;
    hoveredCells.clear();
    for (SortTriangle* triangle : sortTriangles.items)
        delete triangle;
    sortTriangles.clear();
    sortColumn = 0;

    AlignmentBudget budget(AlignmentBudget::memoryLimit());
    progressClock.start();
    progressShownAt = 0;
    budget.progress = [this, count](AlignmentBudget::Phase phase, int done, int total) {
        return reportProgress(phase, done, total, count);
    };

    aligning = true;
    supersede = false;
    bool dropped = false;
    // What stopped it; the message is made once the alignment has let go
    // of its memory.
    bool outOfMemory = false;
    AlignmentBudget::Stopped stop{AlignmentBudget::Cancelled, 0, 0, false, AlignmentBudget::Clustering};
    TList<TList<BinItem*>> result;
    try {
        result = computeAlignment(built, &budget);
    } catch (const AlignmentBudget::Stopped& stopped) {
        dropped = true;
        stop = stopped;
    } catch (const std::bad_alloc&) {
        dropped = true;
        outOfMemory = true;
    } catch (const std::length_error&) {
        dropped = true;
        outOfMemory = true;
    }
    aligning = false;
    if (outOfMemory) {
        alignmentProblem = alignmentFailure(count);
    } else if (dropped) {
        if (stop.reason == AlignmentBudget::OutOfMemory && stop.atLeast) {
            // Stopped on the way, once what it has reached is already too
            // wide for the memory.
            alignmentProblem =
                QStringLiteral("The alignment of %1 distinct sequences was stopped: it needs more "
                               "than the %2 of memory that can be spared for it. The sequences are "
                               "shown unaligned.")
                    .arg(count)
                    .arg(bytesText(stop.limit));
        } else if (stop.reason == AlignmentBudget::OutOfMemory) {
            alignmentProblem =
                QStringLiteral("The alignment of %1 distinct sequences %2: it needs about %3 of "
                               "memory, but only %4 can be spared for it. The sequences are shown "
                               "unaligned.")
                    .arg(count)
                    .arg(stop.phase == AlignmentBudget::Clustering ? QStringLiteral("was not started")
                                                                   : QStringLiteral("was stopped"))
                    .arg(bytesText(stop.needed))
                    .arg(bytesText(stop.limit));
        }
    }
    if (!dropped) {
        // The view's merge makes as many states as the budget counted.
        stateHint = budget.states;
        built = std::move(result);
        return true;
    }
    // A rebuild asked for while it ran comes next and decides for itself;
    // otherwise the alignment is switched off, the rows shown unaligned.
    if (!supersede) {
        msaOn = false;
        emit alignmentDropped();
    }
    return false;
}

void SequenceWidget::forgetStates()
{
    dropCells();
    release(parents);
    release(labelOf);
    release(nameOf);
    release(colourIds);
    release(counts);
    release(firstChild);
    release(nextSibling);
    release(lastChild);
    release(childCount);
    release(firstPass);
    release(lastPass);
    release(nextPass);
    release(rowStates);
    release(rowStart);
    release(columnSizes);
    release(successorOf);
    successorEntries = 0;
    mergeLabelIds.clear();
    release(tops);
    release(spans);
    release(columnStart);
    release(columnCells);
    release(runStart);
    release(runFirst);
    release(runLength);
    release(runHeight);
    release(layoutStack);
    release(columnFill);
    laidOut = false;
    runsLaidOut = false;
    passesCurrent = false;
    delete automaton;
    automaton = nullptr;
}

// ---------------------------------------------------------------------------
// Prefix automaton

qint32 SequenceWidget::textId(const QString& text)
{
    auto found = textIds.constFind(text);
    if (found != textIds.constEnd())
        return found.value();
    // The tables stay of one length: an id is handed out only once every
    // table holds its entry.
    const qint32 id = qint32(texts.size());
    texts.reserve(texts.size() + 1);
    textIsGap.reserve(textIsGap.size() + 1);
    textIds.insert(text, id);
    texts.push_back(text);
    textIsGap.push_back(text.contains(QLatin1String("dummy")) ? 1 : 0);
    return id;
}

qint32 SequenceWidget::colourId(const QColor& colour)
{
    const QRgb key = colour.rgba();
    auto found = paletteIds.constFind(key);
    if (found != paletteIds.constEnd() && palette[std::size_t(found.value())] == colour)
        return found.value();
    // Colours of one 8-bit value that differ in their spec or finer
    // components are told apart along the palette.
    if (found != paletteIds.constEnd()) {
        for (std::size_t k = 0; k < palette.size(); ++k) {
            if (palette[k] == colour)
                return qint32(k);
        }
    }
    const qint32 id = qint32(palette.size());
    palette.push_back(colour);
    if (found == paletteIds.constEnd())
        paletteIds.insert(key, id);
    return id;
}

SequenceWidget::Successor& SequenceWidget::findSuccessor(quint64 key)
{
    const std::size_t mask = successorOf.size() - 1;
    std::size_t at = std::size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    while (successorOf[at].state >= 0 && successorOf[at].key != key)
        at = (at + 1) & mask;
    return successorOf[at];
}

void SequenceWidget::putSuccessor(quint64 key, int state)
{
    if (2 * (successorEntries + 1) > qint64(successorOf.size())) {
        // The larger table is made before the entries move to it.
        std::vector<Successor> grown(std::max<std::size_t>(1024, 2 * successorOf.size()), Successor{~quint64(0), -1});
        grown.swap(successorOf);
        for (const Successor& entry : grown) {
            if (entry.state >= 0)
                findSuccessor(entry.key) = entry;
        }
    }
    findSuccessor(key) = {key, state};
    ++successorEntries;
}

int SequenceWidget::findChild(int state, int label)
{
    const std::size_t s = std::size_t(state);
    if (childCount[s] > WIDE_STATE)
        return findSuccessor((quint64(quint32(state)) << 32) | quint32(label)).state;
    for (int child = firstChild[s]; child >= 0; child = nextSibling[std::size_t(child)]) {
        if (labelOf[std::size_t(child)] == label)
            return child;
    }
    return -1;
}

void SequenceWidget::addChild(int state, int child, int label)
{
    const int children = ++childCount[std::size_t(state)];
    if (children <= WIDE_STATE)
        return;
    auto keyOf = [state](int l) { return (quint64(quint32(state)) << 32) | quint32(l); };
    if (children == WIDE_STATE + 1) {
        // Just grown wide: its children so far go into the table too.
        for (int c = firstChild[std::size_t(state)]; c >= 0; c = nextSibling[std::size_t(c)])
            putSuccessor(keyOf(labelOf[std::size_t(c)]), c);
    } else {
        putSuccessor(keyOf(label), child);
    }
}

int SequenceWidget::addState(int parent, int label, int name, int colour, int column)
{
    // Ids as the automaton gives them: in the order the states are made.
    const qint32 state = qint32(parents.size());
    if (parent >= 0) {
        const std::size_t p = std::size_t(parent);
        if (firstChild[p] < 0)
            firstChild[p] = state;
        else
            nextSibling[std::size_t(lastChild[p])] = state;
        lastChild[p] = state;
    }
    parents.push_back(parent);
    labelOf.push_back(label);
    nameOf.push_back(name);
    colourIds.push_back(colour);
    counts.push_back(0);
    firstChild.push_back(-1);
    nextSibling.push_back(-1);
    lastChild.push_back(-1);
    childCount.push_back(0);
    firstPass.push_back(-1);
    lastPass.push_back(-1);
    if (column >= 0)
        ++columnSizes[std::size_t(column)];
    return state;
}

void SequenceWidget::mergeColumns()
{
    beginMerge();
    mergeRows(0, rows.size());
    finishMerge();
}

void SequenceWidget::beginMerge()
{
    merging = true;
    stopLayout();
    dropCells();
    laidOut = false;
    runsLaidOut = false;
    // Text and colour ids only need to tell texts apart within a merge; a
    // table grown large starts again.
    if (texts.size() > 4096) {
        textIds.clear();
        texts.clear();
        textIsGap.clear();
    }
    if (palette.size() > 4096) {
        palette.clear();
        paletteIds.clear();
    }
    for (ItemText& entry : itemTexts)
        entry = ItemText();
    delete automaton;
    automaton = nullptr;

    const int rowCount = rows.size();
    const int length = columnCount();
    rowStart.assign(std::size_t(rowCount) + 1, 0);
    for (int r = 0; r < rowCount; ++r)
        rowStart[std::size_t(r) + 1] = rowStart[std::size_t(r)] + rows.items[std::size_t(r)].size();
    const qint64 steps = rowStart.back();
    // Sized once for the most states the rows can make (or as many as the
    // alignment counted): growing the arrays step by step costs more than
    // the whole walk.
    const qint64 most = stateHint > 0 ? std::min(steps + 1, stateHint + 1) : steps + 1;
    stateHint = 0;
    for (std::vector<qint32>* states : {&parents, &labelOf, &nameOf, &colourIds, &counts, &firstChild,
                                        &nextSibling, &lastChild, &childCount, &firstPass, &lastPass}) {
        states->clear();
        if (qint64(states->capacity()) > 2 * most + 1024)
            release(*states);
        states->reserve(std::size_t(most));
    }
    // Written position by position as the rows are walked in order (the
    // memory is touched only then).
    if (qint64(nextPass.capacity()) > 2 * steps + 1024) {
        release(nextPass);
        release(rowStates);
    }
    nextPass.clear();
    rowStates.clear();
    nextPass.reserve(std::size_t(steps));
    rowStates.reserve(std::size_t(steps));
    passesCurrent = true;
    release(successorOf);
    successorEntries = 0;
    columnSizes.assign(std::size_t(length), 0);

    const qint32 none = textId(QString());
    addState(-1, none, none, colourId(START_COLOUR), -1);
    startState = StateId(0);

    // Merge labels, column by column: left of the sort column a name that
    // comes back after another name gets a new label (A, A, B, A1, B1).
    // From the sort column on the label is the name (or "*").
    mergeLabelIds.clear();
    const int counted = std::min(sortColumn, length);
    labelledColumns = counted;
    if (counted > 0) {
        mergeLabelIds.resize(std::size_t(rowCount));
        for (int r = 0; r < rowCount; ++r)
            mergeLabelIds[std::size_t(r)].resize(
                std::size_t(std::min(counted, rows.items[std::size_t(r)].size())));
    }
    for (int c = 0; c < counted; ++c) {
        QHash<QString, int> counters;
        QString previous;
        bool first = true;
        for (int r = 0; r < rowCount; ++r) {
            const TList<BinItem*>& row = rows.items[std::size_t(r)];
            if (c >= row.size())
                continue;
            const QString name = nameOrStar(row.items[std::size_t(c)]);
            QString label = name;
            if (!first && name != previous)
                ++counters[previous];
            const int n = counters.value(name, 0);
            if (n > 0)
                label = name + QString::number(n);
            previous = name;
            first = false;
            mergeLabelIds[std::size_t(r)][std::size_t(c)] = textId(label);
        }
    }
}

qint32 SequenceWidget::itemText(const BinItem* item)
{
    // The rows repeat their items (a gap in every row, the glyphs of
    // stacked rows): a few recent ones skip the hashing of their names.
    ItemText& slot = itemTexts[(quintptr(item) >> 4) % itemTexts.size()];
    if (slot.item != item) {
        const qint32 id = textId(nameOrStar(item));
        slot.item = item;
        slot.id = id;
    }
    return slot.id;
}

void SequenceWidget::mergeRows(int from, int to)
{
    const int rowCount = rows.size();
    const int counted = labelledColumns;
    for (int r = from; r < to; ++r) {
        if (mergeProgress && r % 16 == 0 && !mergeProgress(r, rowCount))
            throw AlignmentBudget::Stopped{AlignmentBudget::Cancelled, 0, 0, false,
                                           AlignmentBudget::LayingOut};
        const TList<BinItem*>& row = rows.items[std::size_t(r)];
        int weight = 1;
        if (!twins.isEmpty()) {
            for (BinItem* item : row.items) {
                auto found = twins.constFind(item);
                if (found != twins.constEnd()) {
                    weight = 1 + found.value().size();
                    break;
                }
            }
        }
        int current = 0;
        counts[0] += weight;
        qint64 position = rowStart[std::size_t(r)];
        for (int c = 0; c < row.size(); ++c, ++position) {
            const BinItem* item = row.items[std::size_t(c)];
            const qint32 label = c < counted ? mergeLabelIds[std::size_t(r)][std::size_t(c)] : itemText(item);
            int state = findChild(current, label);
            if (state < 0) {
                const qint32 name = c < counted ? itemText(item) : label;
                state = addState(current, label, name, colourId(item->fillColor), c);
                addChild(current, state, label);
            }
            const std::size_t s = std::size_t(state);
            const qint32 at = qint32(position);
            rowStates.push_back(state);
            nextPass.push_back(-1);
            if (lastPass[s] >= 0)
                nextPass[std::size_t(lastPass[s])] = at;
            else
                firstPass[s] = at;
            lastPass[s] = at;
            counts[s] += weight;
            current = state;
        }
    }
}

void SequenceWidget::finishMerge()
{
    mergeLabelIds.clear();
    // Only the walk needs these.
    release(lastChild);
    release(childCount);
    release(lastPass);
    release(successorOf);
    successorEntries = 0;
    merging = false;
    computeGeometry();
    update();
}

Automaton* SequenceWidget::prefixAutomaton()
{
    if (automaton || parents.empty())
        return automaton;
    automaton = new Automaton;
    for (std::size_t id = 0; id < parents.size(); ++id) {
        StateId state;
        automaton->addState(state);
    }
    for (std::size_t id = 1; id < parents.size(); ++id)
        automaton->addEdge(StateId(qint32(parents[id])), StateId(qint32(id)), nullptr);
    return automaton;
}

// ---------------------------------------------------------------------------
// Geometry

void SequenceWidget::dropCells()
{
    for (BinItem* item : stateCache)
        delete item;
    for (auto it = shownCache.constBegin(); it != shownCache.constEnd(); ++it) {
        if (!cachedStates.contains(it.value()))
            delete it.value();
    }
    stateCache.clear();
    shownCache.clear();
    cachedShown.clear();
    cachedStates.clear();
    hoveredCells.clear();
    release(shownOrder);
    shownOrderMade = false;
}

void SequenceWidget::stopLayout()
{
    if (partPhase == LayingOut) {
        partTimer->stop();
        partPhase = NoPart;
    }
    release(layoutStack);
}

void SequenceWidget::computeGeometry()
{
    guarded([this]() {
        // A merge under way lays the states out when it ends, and one follows
        // a copy under way.
        if (merging || partPhase == Copying)
            return;
        if (layingOutAtOnce) {
            relayoutWanted = true;
            return;
        }
        overlayPaths.clear();
        if (currentQuery)
            buildOverlay();
        clickedEvents.clear();

        if (!rows.isEmpty()) {
            placeSortTriangles();
        }

        stopLayout();
        dropCells();
        beginLayout();
        if (!mergeProgress && qint64(parents.size()) >= layoutPartsFrom) {
            // Laid out a part at a time (runPart); the cells show once all are.
            partPhase = LayingOut;
            partTimer->start();
            return;
        }
        layoutAtOnce();
    });
}

void SequenceWidget::layoutAtOnce()
{
    QElapsedTimer clock;
    clock.start();
    const int rowCount = rows.size();
    layingOutAtOnce = true;
    relayoutWanted = false;
    try {
        while (!continueLayout(mergeProgress ? &clock : nullptr, 50)) {
            if (!mergeProgress(rowCount, rowCount))
                throw AlignmentBudget::Stopped{AlignmentBudget::Cancelled, 0, 0, false, AlignmentBudget::LayingOut};
            clock.restart();
        }
    } catch (...) {
        layingOutAtOnce = false;
        relayoutWanted = false;
        throw;
    }
    layingOutAtOnce = false;
    finishLayout();
    if (relayoutWanted) {
        relayoutWanted = false;
        computeGeometry();
    }
}

void SequenceWidget::beginLayout()
{
    laidOut = false;
    runsLaidOut = false;
    const std::size_t states = parents.size();
    const std::size_t columns = columnSizes.size();
    fit(tops, states);
    fit(spans, states);
    columnStart.assign(columns + 1, 0);
    for (std::size_t k = 0; k < columns; ++k)
        columnStart[k + 1] = columnStart[k] + columnSizes[k];
    fit(columnCells, std::size_t(columnStart.back()));
    columnFill.assign(columnStart.begin(), columnStart.end());
    runStart.assign(columns + 1, 0);
    // Runs are at most one a cell.
    for (std::vector<qint32>* runs : {&runFirst, &runLength})
        fit(*runs, 0);
    fit(runHeight, 0);
    runColumn = 0;
    laidLeft = leftMargin;
    laidStep = itemWidth + columnGap;
    laidWidth = itemWidth;
    layoutHeight = height() - 2 * topOffset - headerHeight - 10;
    nextTopY = topOffset + 10 + headerHeight;
    nextTopChild = states > 0 ? firstChild.front() : -1;
    layoutStack.clear();
}

bool SequenceWidget::continueLayout(const QElapsedTimer* clock, qint64 budgetMs)
{
    // A walk with an explicit stack (rows can be as long as a trace), in
    // the order of a depth-first walk: each state's cell, then its
    // children's subtrees one column on, stacked from its top, each below
    // the previous one's own cell.
    // The clock is read every so many cells (every one without a budget).
    const quint32 every = budgetMs > 0 ? 1023u : 0u;
    quint32 steps = 0;
    while (true) {
        if (clock && steps > 0 && (steps & every) == 0 && clock->elapsed() >= budgetMs)
            return false;
        ++steps;
        if (layoutStack.empty()) {
            if (nextTopChild < 0)
                break;
            layoutStack.push_back({nextTopChild, 0, 0, nextTopY, layoutHeight});
            nextTopChild = nextSibling[std::size_t(nextTopChild)];
        }
        const Pending at = layoutStack.back();
        layoutStack.pop_back();
        const std::size_t s = std::size_t(at.state);
        double height = at.h;
        const int parentCount = counts[std::size_t(at.parent)];
        const int count = counts[s];
        if (parentCount != 0)
            height = height * count / parentCount;
        tops[s] = at.y;
        spans[s] = height;
        columnCells[std::size_t(columnFill[std::size_t(at.column)]++)] = at.state;
        if (at.parent == 0)
            nextTopY = truncated(at.y + std::max(height, 1.0));

        const std::size_t firstPending = layoutStack.size();
        double childY = at.y;
        for (int child = firstChild[s]; child >= 0; child = nextSibling[std::size_t(child)]) {
            layoutStack.push_back({child, at.state, at.column + 1, childY, height});
            double childHeight = height;
            if (count != 0)
                childHeight = childHeight * counts[std::size_t(child)] / count;
            childY += std::max(childHeight, 1.0);
        }
        std::reverse(layoutStack.begin() + std::ptrdiff_t(firstPending), layoutStack.end());
    }
    if (!mergeMode)
        return true;
    // Merge mode: down every column, the cells of one label in a row make
    // one run.
    const int columns = int(columnSizes.size());
    bool progressed = false;
    for (; runColumn < columns; ++runColumn) {
        if (clock && progressed && clock->elapsed() >= budgetMs)
            return false;
        progressed = true;
        const std::size_t k = std::size_t(runColumn);
        runStart[k] = qint64(runFirst.size());
        for (qint64 i = columnStart[k]; i < columnStart[k + 1]; ++i) {
            const std::size_t s = std::size_t(columnCells[std::size_t(i)]);
            const double h = std::max(spans[s], 1.0);
            if (i > columnStart[k] && nameOf[s] == nameOf[std::size_t(columnCells[std::size_t(i - 1)])]) {
                ++runLength.back();
                runHeight.back() = runHeight.back() + h;
            } else {
                runFirst.push_back(qint32(i));
                runLength.push_back(1);
                runHeight.push_back(h);
            }
        }
    }
    runStart[std::size_t(columns)] = qint64(runFirst.size());
    return true;
}

void SequenceWidget::finishLayout()
{
    release(layoutStack);
    release(columnFill);
    laidOut = true;
    runsLaidOut = mergeMode;
    update();
}

int SequenceWidget::cellColumns() const
{
    return laidOut ? int(columnSizes.size()) : 0;
}

int SequenceWidget::columnOfState(int s) const
{
    int column = -1;
    for (int t = s; t > 0; t = parents[std::size_t(t)])
        ++column;
    return column;
}

int SequenceWidget::columnOfRun(int r) const
{
    return int(std::upper_bound(runStart.begin(), runStart.end(), qint64(r)) - runStart.begin()) - 1;
}

double SequenceWidget::cellTop(int cell) const
{
    if (runsLaidOut)
        return tops[std::size_t(columnCells[std::size_t(runFirst[std::size_t(cell)])])];
    return tops[std::size_t(cell)];
}

double SequenceWidget::cellHeight(int cell) const
{
    if (runsLaidOut)
        return runHeight[std::size_t(cell)];
    return std::max(spans[std::size_t(cell)], 1.0);
}

void SequenceWidget::cellsIn(int k, double y0, double y1, std::vector<qint32>& out) const
{
    const std::size_t column = std::size_t(k);
    if (runsLaidOut) {
        for (qint64 r = runStart[column]; r < runStart[column + 1]; ++r) {
            const double top = cellTop(int(r));
            if (top <= y1 && top + runHeight[std::size_t(r)] >= y0)
                out.push_back(qint32(r));
        }
        return;
    }
    for (qint64 i = columnStart[column]; i < columnStart[column + 1]; ++i) {
        const std::size_t s = std::size_t(columnCells[std::size_t(i)]);
        const double top = tops[s];
        if (top <= y1 && top + std::max(spans[s], 1.0) >= y0)
            out.push_back(qint32(s));
    }
}

std::vector<qint32> SequenceWidget::cellsAt(int x, int y) const
{
    std::vector<qint32> out;
    const int columns = cellColumns();
    if (columns == 0 || !(laidStep > 0))
        return out;
    // Edges included: a point on the gap between two columns may touch
    // both when there is none.
    const double at = std::floor((x - laidLeft) / laidStep);
    if (!(at > -2.0 && at < double(columns) + 1.0))
        return out;
    for (int k = std::max(0, int(at) - 1); k <= int(at) && k < columns; ++k) {
        const double left = laidLeft + k * laidStep;
        if (left <= x && x <= left + laidWidth)
            cellsIn(k, y, y, out);
    }
    return out;
}

void SequenceWidget::fillStateCell(BinItem& item, int s, int column, bool named) const
{
    const std::size_t state = std::size_t(s);
    item = BinItem(nullptr, const_cast<SequenceWidget*>(this));
    item.setX(laidLeft + column * laidStep);
    item.setY(tops[state]);
    item.setWidth(laidWidth);
    item.setHeight(std::max(spans[state], 1.0));
    if (named)
        item.name = keyOrPath(s, false);
    const QString& last = texts[std::size_t(nameOf[state])];
    if (last != QLatin1String("*"))
        item.label = last;
    item.fillColor = palette[std::size_t(colourIds[state])];
    item.visible = !textIsGap[std::size_t(nameOf[state])];
}

void SequenceWidget::fillRunCell(BinItem& item, int r, int column, bool named) const
{
    const std::size_t run = std::size_t(r);
    fillStateCell(item, columnCells[std::size_t(runFirst[run])], column, named);
    if (runLength[run] > 1) {
        item.setHeight(runHeight[run]);
        item.name = QStringLiteral("...") + item.label;
    }
}

BinItem* SequenceWidget::stateItem(int state)
{
    if (!laidOut || state < 1 || std::size_t(state) >= parents.size())
        return nullptr;
    auto found = stateCache.constFind(state);
    if (found != stateCache.constEnd())
        return found.value();
    auto* item = new BinItem(nullptr, this);
    fillStateCell(*item, state, columnOfState(state));
    stateCache.insert(state, item);
    cachedStates.insert(item, state);
    if (!runsLaidOut) {
        // Without merging the shown cell of a state is its laid-out cell.
        shownCache.insert(state, item);
        cachedShown.insert(item, state);
    }
    return item;
}

BinItem* SequenceWidget::cellItem(int cell)
{
    if (!runsLaidOut)
        return stateItem(cell);
    auto found = shownCache.constFind(cell);
    if (found != shownCache.constEnd())
        return found.value();
    auto* item = new BinItem(nullptr, this);
    fillRunCell(*item, cell, columnOfRun(cell));
    shownCache.insert(cell, item);
    cachedShown.insert(item, cell);
    return item;
}

int SequenceWidget::countOfCell(int cell) const
{
    if (!runsLaidOut)
        return counts[std::size_t(cell)];
    int count = 0;
    const std::size_t run = std::size_t(cell);
    for (qint32 i = runFirst[run]; i < runFirst[run] + runLength[run]; ++i)
        count += counts[std::size_t(columnCells[std::size_t(i)])];
    return count;
}

QString SequenceWidget::keyOrPath(int state, bool path) const
{
    if (state <= 0 || std::size_t(state) >= parents.size())
        return QString();
    const std::vector<qint32>& ids = path ? nameOf : labelOf;
    std::vector<qint32> chain;
    int length = -1;
    for (int t = state; t > 0; t = parents[std::size_t(t)]) {
        chain.push_back(ids[std::size_t(t)]);
        length += 1 + texts[std::size_t(ids[std::size_t(t)])].size();
    }
    QString out;
    out.reserve(length);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (it != chain.rbegin())
            out += QLatin1Char('.');
        out += texts[std::size_t(*it)];
    }
    return out;
}

void SequenceWidget::appendEvents(int state, TList<QSharedPointer<Packet>>& out) const
{
    if (!passesCurrent || state < 1 || std::size_t(state) >= firstPass.size())
        return;
    std::vector<QSharedPointer<Packet>>& events = out.items;
    for (qint32 p = firstPass[std::size_t(state)]; p >= 0; p = nextPass[std::size_t(p)]) {
        const std::size_t r =
            std::size_t(std::upper_bound(rowStart.begin(), rowStart.end(), qint64(p)) - rowStart.begin()) - 1;
        const BinItem* item = rows.items[r].items[std::size_t(p - rowStart[r])];
        events.insert(events.end(), item->packets.items.begin(), item->packets.items.end());
        if (!twins.isEmpty()) {
            auto same = twins.constFind(const_cast<BinItem*>(item));
            if (same != twins.constEnd()) {
                for (const BinItem* twin : same.value().items)
                    events.insert(events.end(), twin->packets.items.begin(), twin->packets.items.end());
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Query overlay

void SequenceWidget::buildOverlay()
{
    overlayChecks = 0;
    const THash<QString, int>* columns =
        owner && owner->glyphStore ? &owner->glyphStore->attributeColumns : nullptr;

    // The state of every row item from the last merge's walk; -1 for none.
    const int stateTotal = int(parents.size());
    const bool walked = passesCurrent && int(rowStart.size()) == rows.size() + 1
                        && qint64(rowStates.size()) == rowStart.back();
    auto stateOf = [this, stateTotal, walked](int r, int c) {
        if (!walked)
            return -1;
        const int id = rowStates[std::size_t(rowStart[std::size_t(r)] + c)];
        return id >= 0 && id < stateTotal ? id : -1;
    };

    struct RowHits
    {
        int row;
        int matched;
    };
    std::vector<RowHits> hitRows;
    std::vector<int> hits(std::size_t(stateTotal), 0);
    for (int r = 0; r < rows.size(); ++r) {
        const TList<BinItem*>& row = rows.items[std::size_t(r)];
        int weight = 1;
        if (!twins.isEmpty()) {
            for (BinItem* item : row.items) {
                auto found = twins.constFind(item);
                if (found != twins.constEnd()) {
                    weight = 1 + found.value().size();
                    break;
                }
            }
        }
        std::vector<char> matched(std::size_t(weight), 0);
        int m = 0;
        for (BinItem* item : row.items) {
            const TList<BinItem*>* same = nullptr;
            if (!twins.isEmpty()) {
                auto found = twins.constFind(item);
                if (found != twins.constEnd())
                    same = &found.value();
            }
            const int members = 1 + (same ? same->size() : 0);
            for (int i = 0; i < members && i < weight; ++i) {
                if (matched[std::size_t(i)])
                    continue;
                ++overlayChecks;
                const BinItem* member = i == 0 ? item : same->items[std::size_t(i - 1)];
                for (const QSharedPointer<Packet>& event : member->packets.items) {
                    if (currentQuery->evaluate(event.data(), columns, nullptr)) {
                        matched[std::size_t(i)] = 1;
                        ++m;
                        break;
                    }
                }
            }
            // Every sequence of the row has matched: the rest adds nothing.
            if (m == weight)
                break;
        }
        if (m > 0) {
            hitRows.push_back({r, m});
            for (int c = 0; c < row.size(); ++c) {
                const int state = stateOf(r, c);
                if (state >= 0)
                    hits[std::size_t(state)] += m;
            }
        }
    }

    // The cells of the last layout as they stand: right after a merge
    // there is none for the new states.
    struct Laid
    {
        double left;
        double top;
        double height;
    };
    std::vector<double> used(std::size_t(stateTotal), 0.0);
    std::vector<Laid> path;
    std::vector<int> states;
    for (const RowHits& hit : hitRows) {
        const TList<BinItem*>& row = rows.items[std::size_t(hit.row)];
        path.clear();
        states.clear();
        double band = -1.0;
        bool complete = true;
        for (int c = 0; c < row.size(); ++c) {
            const int state = stateOf(hit.row, c);
            if (!laidOut || state < 1) {
                complete = false;
                break;
            }
            const Laid laid{laidLeft + c * laidStep, tops[std::size_t(state)],
                            std::max(spans[std::size_t(state)], 1.0)};
            const int count = counts[std::size_t(state)];
            const double w = count != 0 ? double(hit.matched) / count * laid.height : 0.0;
            band = band < 0 ? w : std::min(band, w);
            path.push_back(laid);
            states.push_back(state);
        }
        if (!complete || path.empty())
            continue;

        QPainterPath line;
        for (std::size_t p = 0; p < path.size(); ++p) {
            const Laid& laid = path[p];
            const std::size_t state = std::size_t(states[p]);
            int y;
            const int cy = truncated(laid.top + 0.5 * laid.height);
            if (path.size() >= 2) {
                const int c = counts[state];
                const double t = hits[state];
                const double share = c != 0 ? t / c : 0.0;
                double& space = used[state];
                y = truncated(cy - share * laid.height / 2 + band / 2 + space);
                space = std::trunc(space + band);
            } else {
                y = cy;
            }
            const int cx = truncated(laid.left + 0.5 * laidWidth);
            if (p == 0) {
                line.moveTo(cx, y);
                continue;
            }
            const QPointF current = line.currentPosition();
            const int left = truncated(laid.left);
            const double d = std::min(left - current.x(), laidWidth / 2);
            line.cubicTo(QPointF(current.x() + d / 3, current.y()), QPointF(left - d / 3, y),
                         QPointF(left, y));
            line.lineTo(cx, y);
        }
        if (drawLines) {
            overlayPaths.append(line);
        } else {
            QPainterPath ribbon = line.translated(0, -band / 2);
            ribbon.connectPath(line.translated(0, band / 2).toReversed());
            ribbon.closeSubpath();
            overlayPaths.append(ribbon);
        }
    }
}

// ---------------------------------------------------------------------------
// Sorting

void SequenceWidget::setSort(int column)
{
    guarded([&]() {
        if (building()) {
            // Sorts the rows once they are all merged.
            defer([this, column]() { setSort(column); }, false);
            return;
        }
        if (aligning) {
            // Sorts the rows that the alignment under way gives.
            defer([this, column]() { setSort(column); }, false);
            return;
        }
        const int length = sortTriangles.size();
        if (column < 0 || column >= length)
            return;
        sortColumn = column;

        auto keyName = [](const BinItem* item) {
            if (item->name.isEmpty())
                return QStringLiteral("|");
            if (isGap(item))
                return QStringLiteral("~");
            return item->name;
        };
        std::map<QString, TList<TList<BinItem*>>> grouped;
        for (const TList<BinItem*>& row : rows.items) {
            QString key;
            if (column < row.size())
                key = keyName(row.items[std::size_t(column)]);
            key += QLatin1Char('!');
            for (const BinItem* item : row.items) {
                key += keyName(item);
                key += QLatin1Char('.');
            }
            grouped[key].append(row);
        }

        for (int k = 0; k < length; ++k) {
            SortTriangle* triangle = sortTriangles.items[std::size_t(k)];
            if (k != column)
                triangle->setState(2);
            else
                triangle->setState(triangle->state == 0 ? 1 : 0);
        }
        const bool descending = sortTriangles.items[std::size_t(column)]->state == 1;

        TList<TList<BinItem*>> sorted;
        sorted.items.reserve(rows.items.size());
        if (!descending) {
            for (auto& entry : grouped)
                sorted.append(entry.second);
        } else {
            for (auto it = grouped.rbegin(); it != grouped.rend(); ++it)
                sorted.append(it->second);
        }
        rows = std::move(sorted);
        qint64 glyphs = 0;
        for (const TList<BinItem*>& row : rows.items)
            glyphs += row.size();
        if (glyphs < partsFrom || aligning) {
            mergeColumns();
            return;
        }
        // Many rows are merged a few at a time (runPart), the cells shown
        // once they are laid out.
        beginMerge();
        update();
        mergeAt = 0;
        partPhase = Merging;
        partTimer->start();
    });
}

// ---------------------------------------------------------------------------
// Events and slots

int SequenceWidget::stateCount() const { return int(parents.size()); }

int SequenceWidget::countOf(int state) const
{
    return state >= 0 && std::size_t(state) < counts.size() ? counts[std::size_t(state)] : 0;
}

QString SequenceWidget::keyOf(int state) const { return keyOrPath(state, false); }

QString SequenceWidget::pathOf(int state) const { return keyOrPath(state, true); }

QColor SequenceWidget::colourOf(int state) const
{
    if (state < 0 || std::size_t(state) >= colourIds.size())
        return QColor();
    return palette[std::size_t(colourIds[std::size_t(state)])];
}

int SequenceWidget::parentOf(int state) const
{
    return state >= 0 && std::size_t(state) < parents.size() ? parents[std::size_t(state)] : -1;
}

TList<QSharedPointer<Packet>> SequenceWidget::eventsOfState(int state) const
{
    TList<QSharedPointer<Packet>> events;
    appendEvents(state, events);
    return events;
}

int SequenceWidget::stateOfKey(const QString& key) const
{
    if (parents.empty())
        return -1;
    if (key.isEmpty())
        return 0;
    // Labels may hold dots: every way of reading the key along the tree is
    // followed; where two states have one key, the later one has it.
    int found = -1;
    std::vector<std::pair<int, int>> pending{{0, 0}};   // state, characters read
    while (!pending.empty()) {
        const std::pair<int, int> at = pending.back();
        pending.pop_back();
        for (int child = firstChild[std::size_t(at.first)]; child >= 0; child = nextSibling[std::size_t(child)]) {
            const QString& label = texts[std::size_t(labelOf[std::size_t(child)])];
            if (!key.midRef(at.second).startsWith(label))
                continue;
            const int end = at.second + label.size();
            if (end == key.size())
                found = std::max(found, child);
            else if (key.at(end) == QLatin1Char('.'))
                pending.push_back({child, end + 1});
        }
    }
    return found;
}

int SequenceWidget::stateAt(int row, int column) const
{
    if (!passesCurrent || row < 0 || row >= rows.size() || int(rowStart.size()) != rows.size() + 1 || column < 0
        || column >= rows.items[std::size_t(row)].size())
        return -1;
    const std::size_t at = std::size_t(rowStart[std::size_t(row)] + column);
    return at < rowStates.size() ? rowStates[at] : -1;
}

int SequenceWidget::stateOfItem(const BinItem* item) const { return cachedStates.value(item, -1); }

int SequenceWidget::shownCount() const
{
    if (!laidOut)
        return 0;
    return runsLaidOut ? int(runFirst.size()) : int(parents.size()) - 1;
}

BinItem* SequenceWidget::shownItem(int k)
{
    if (k < 0 || k >= shownCount())
        return nullptr;
    if (!shownOrderMade) {
        // The order of the layout's walk: every state after its parent,
        // children in edge order; runs by their first cell.
        std::vector<qint32> walk;
        walk.reserve(parents.size());
        std::vector<qint32> stack;
        for (int child = firstChild.front(); child >= 0; child = nextSibling[std::size_t(child)])
            stack.push_back(child);
        std::reverse(stack.begin(), stack.end());
        while (!stack.empty()) {
            const qint32 s = stack.back();
            stack.pop_back();
            walk.push_back(s);
            const std::size_t before = stack.size();
            for (int child = firstChild[std::size_t(s)]; child >= 0; child = nextSibling[std::size_t(child)])
                stack.push_back(child);
            std::reverse(stack.begin() + std::ptrdiff_t(before), stack.end());
        }
        if (runsLaidOut) {
            std::vector<qint32> rank(parents.size(), 0);
            for (std::size_t k = 0; k < walk.size(); ++k)
                rank[std::size_t(walk[k])] = qint32(k);
            shownOrder.resize(runFirst.size());
            for (std::size_t r = 0; r < runFirst.size(); ++r)
                shownOrder[r] = qint32(r);
            std::sort(shownOrder.begin(), shownOrder.end(), [this, &rank](qint32 a, qint32 b) {
                return rank[std::size_t(columnCells[std::size_t(runFirst[std::size_t(a)])])]
                       < rank[std::size_t(columnCells[std::size_t(runFirst[std::size_t(b)])])];
            });
        } else {
            shownOrder = std::move(walk);
        }
        shownOrderMade = true;
    }
    return cellItem(shownOrder[std::size_t(k)]);
}

QList<BinItem*> SequenceWidget::shownList()
{
    QList<BinItem*> out;
    const int count = shownCount();
    for (int k = 0; k < count; ++k)
        out.append(shownItem(k));
    return out;
}

QList<BinItem*> SequenceWidget::runItems(const BinItem* shown)
{
    QList<BinItem*> out;
    if (!runsLaidOut)
        return out;
    const int run = cachedShown.value(shown, -1);
    if (run < 0)
        return out;
    for (qint32 i = runFirst[std::size_t(run)]; i < runFirst[std::size_t(run)] + runLength[std::size_t(run)]; ++i)
        out.append(stateItem(columnCells[std::size_t(i)]));
    return out;
}

TList<QSharedPointer<Packet>> SequenceWidget::eventsOf(BinItem* shown) const
{
    TList<QSharedPointer<Packet>> events;
    if (!shown)
        return events;
    const int cell = cachedShown.value(shown, -1);
    if (cell >= 0 && runsLaidOut) {
        const std::size_t run = std::size_t(cell);
        for (qint32 i = runFirst[run]; i < runFirst[run] + runLength[run]; ++i)
            appendEvents(columnCells[std::size_t(i)], events);
        return events;
    }
    appendEvents(cachedStates.value(shown, -1), events);
    return events;
}

double SequenceWidget::shareOf(BinItem* shown) const
{
    if (!shown || counts.empty())
        return 0.0;
    int count = 0;
    const int cell = cachedShown.value(shown, -1);
    if (cell >= 0)
        count = countOfCell(cell);
    else
        count = countOf(cachedStates.value(shown, -1));
    const int total = counts.front();
    return total != 0 ? double(count) / total : 0.0;
}

bool SequenceWidget::event(QEvent* e)
{
    const int type = int(e->type());
    if (type == GLYPHSEVENT) {
        showSequences(static_cast<GlyphsEvent*>(e)->sequences);
        e->accept();
    } else if (type == CONTEXTEVENT) {
        buildSequences(TList<TList<BinItem*>>());
    }
    return QWidget::event(e);
}

void SequenceWidget::mousePressEvent(QMouseEvent* e)
{
    HandlerGuard::run([&] {
        const int mx = truncated(e->localPos().x());
        const int my = truncated(e->localPos().y());
        if (e->button() == Qt::RightButton) {
            selectSequencesAction->setEnabled(false);
            inspectSelectionAction->setEnabled(!clickedEvents.isEmpty());
            inspectFrequenciesAction->setEnabled(!clickedEvents.isEmpty());
            contextMenu->popup(e->globalPos());
            return;
        }
        // Only cells made as items can carry a mark.
        for (BinItem* item : shownCache) {
            item->selected = false;
            item->selectedCount = 0;
        }
        clickedEvents.clear();
        for (int k = 0; k < sortTriangles.size(); ++k) {
            if (sortTriangles.items[std::size_t(k)]->contains(mx, my)) {
                setSort(k);
                break;
            }
        }
        const std::vector<qint32> hit = cellsAt(mx, my);
        if (!hit.empty()) {
            BinItem* item = cellItem(hit.front());
            // The events are gathered before the cell is marked: out of
            // memory, no cell is marked without its events.
            TList<QSharedPointer<Packet>> events = eventsOf(item);
            item->selected = true;
            clickedEvents = std::move(events);
            if (!clickedEvents.isEmpty() && owner) {
                const std::unique_ptr<PacketsEvent> packets(
                    new PacketsEvent(this, clickedEvents, {QStringLiteral("select")}));
                QCoreApplication::sendEvent(owner, packets.get());
            }
        }
        update();
    });
}

void SequenceWidget::mouseMoveEvent(QMouseEvent* e)
{
    HandlerGuard::run([&] {
        lastMouse = QPoint(truncated(e->localPos().x()), truncated(e->localPos().y()));
        hoverTimer->start();
        if (histogramDialog) {
            histogramDialog->close();
            delete histogramDialog;
            histogramDialog = nullptr;
        }
        for (SortTriangle* triangle : sortTriangles.items)
            triangle->highlighted = triangle->contains(lastMouse.x(), lastMouse.y());
        for (BinItem* item : shownCache) {
            item->highlighted = false;
            item->auxValue = 0;
        }
        hoveredCells = cellsAt(lastMouse.x(), lastMouse.y());
        QString tip;
        for (qint32 cell : hoveredCells) {
            BinItem* item = cellItem(cell);
            item->highlighted = true;
            item->auxValue = 1;
            const double share = roundTo(shareOf(item), 3) * 100;
            tip = QStringLiteral("Event: ") + (item->name.isEmpty() ? QStringLiteral("Default") : item->name)
                  + QStringLiteral(" (") + QString::number(share, 'g', 6) + QStringLiteral("%)");
        }
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(e->globalPos(), tip, this);
        update();
    });
}

void SequenceWidget::leaveEvent(QEvent* e)
{
    QWidget::leaveEvent(e);
    lastMouse.setX(-1);
    hoverTimer->stop();
}

void SequenceWidget::paintEvent(QPaintEvent* e)
{
    HandlerGuard::paint(this, [&] {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.fillRect(rect(), Qt::white);
        QPen pen;
        QBrush brush;
        // Only the cells in the part to paint (and a little around it, for the
        // edges' pens), column by column in the layout's order.
        const int columns = cellColumns();
        if (columns > 0 && laidStep > 0) {
            const QRect area = e->rect();
            const int from = std::max(0, int(std::floor((area.left() - laidLeft) / laidStep)) - 1);
            const int to = std::min(columns - 1, int(std::floor((area.right() - laidLeft) / laidStep)) + 1);
            std::vector<qint32> cells;
            BinItem scratch(nullptr, this);
            for (int k = from; k <= to; ++k) {
                cells.clear();
                cellsIn(k, area.top() - 2.0, area.bottom() + 2.0, cells);
                for (qint32 cell : cells) {
                    auto cached = shownCache.constFind(cell);
                    BinItem* item = cached != shownCache.constEnd() ? cached.value() : nullptr;
                    if (!item) {
                        if (runsLaidOut)
                            fillRunCell(scratch, cell, k, false);
                        else
                            fillStateCell(scratch, cell, k, false);
                        item = &scratch;
                    }
                    if (item->visible)
                        item->paint(&painter, pen, brush);
                }
            }
        }
        for (SortTriangle* triangle : sortTriangles.items) {
            pen = QPen();
            pen.setWidth(1);
            triangle->paint(&painter, pen, brush);
        }
        QPen overlayPen(Qt::black, 2, drawLines ? Qt::SolidLine : Qt::NoPen);
        QBrush overlayBrush(OVERLAY_FILL, drawLines ? Qt::NoBrush : Qt::SolidPattern);
        painter.setPen(overlayPen);
        painter.setBrush(overlayBrush);
        for (const QPainterPath& path : overlayPaths.items)
            painter.drawPath(path);
    });
}

void SequenceWidget::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    HandlerGuard::run([&] {
        computeGeometry();
        update();
    });
}

void SequenceWidget::inspect()
{
    HandlerGuard::run([&] {
        std::unique_ptr<InspectWidget> dialog(new InspectWidget(owner, clickedEvents, nullptr));
        dialog->exec();
    });
}

void SequenceWidget::inspectFreq()
{
    HandlerGuard::run([&] {
        BinItem* hovered = nullptr;
        for (qint32 cell : hoveredCells) {
            BinItem* item = cellItem(cell);
            if (item->highlighted) {
                hovered = item;
                break;
            }
        }
        if (!hovered || !hovered->visible)
            return;
        const TList<QSharedPointer<Packet>> events = eventsOf(hovered);
        if (events.isEmpty())
            return;
        if (owner) {
            const std::unique_ptr<PacketsEvent> packets(new PacketsEvent(this, events, {QStringLiteral("hover")}));
            QCoreApplication::sendEvent(owner, packets.get());
        }
        // A dialog left from the last inspection (the mouse has not moved
        // since) shows other events: a new one replaces it, made before the
        // old one goes, so that out of memory the member never points at a
        // freed one.
        auto* dialog = new HistogramWidget(DST_ATTRIBUTE, owner, events, this);
        delete histogramDialog;
        histogramDialog = dialog;
        connect(histogramDialog, &HistogramWidget::hoverQuery, this, &SequenceWidget::hoverQuery);
        histogramDialog->adjustSize();
        const int x = lastMouse.x();
        const int y = lastMouse.y();
        const int dx = std::max(0, histogramDialog->width() + x - width());
        const int dy = std::max(0, histogramDialog->height() + y - height());
        ScreenPlacement::moveOnScreen(histogramDialog, mapToGlobal(QPoint(x - (dx + 5), y - (dy + 5))),
                                      mapToGlobal(lastMouse));
        const unsigned long failures = HandlerGuard::failures();
        histogramDialog->exec();
        if (HandlerGuard::failures() != failures) {
            // Something in the dialog's loop ran out of memory: what it
            // shows may be half an answer, and it goes now rather than at
            // the next mouse move.
            delete histogramDialog;
            histogramDialog = nullptr;
        }
        delete currentQuery;
        currentQuery = nullptr;
        overlayPaths.clear();
        update();
    });
}

void SequenceWidget::selectSequences()
{
}

void SequenceWidget::setDrawLines(bool on)
{
    HandlerGuard::run([&] {
        drawLines = on;
        computeGeometry();
        repaint();
    });
}

void SequenceWidget::hoverTimeOut()
{
    hoverTimer->stop();
}

void SequenceWidget::hoverQuery(ParseNode* query)
{
    // The query is the view's from here on, whatever follows.
    if (query != currentQuery)
        delete currentQuery;
    currentQuery = query;
    HandlerGuard::run([&] {
        computeGeometry();
        repaint();
    });
}

void SequenceWidget::setItemSize(int size)
{
    HandlerGuard::run([&] {
        itemWidth = size;
        updateMinimumWidth();
        computeGeometry();
        update();
    });
}

void SequenceWidget::setVItemSize(int percent)
{
    HandlerGuard::run([&] {
        topOffset = truncated(percent / 100.0 * (height() - 2 * leftMargin) + leftMargin);
        computeGeometry();
        update();
    });
}

void SequenceWidget::setMergeMode(bool on)
{
    HandlerGuard::run([&] {
        mergeMode = on;
        computeGeometry();
        update();
    });
}
