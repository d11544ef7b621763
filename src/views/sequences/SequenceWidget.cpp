#include "views/sequences/SequenceWidget.h"

#include "app/ControlWidget.h"
#include "app/InspectWidget.h"
#include "app/MessageAsker.h"
#include "core/Constants.h"
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

SequenceWidget::~SequenceWidget()
{
    clearShownItems();
    for (SortTriangle* triangle : sortTriangles.items)
        delete triangle;
    if (alignedGaps) {
        for (BinItem* gap : gapItems.items)
            delete gap;
    }
    for (BinItem* gap : paddingGaps)
        delete gap;
    delete automaton;
    delete currentQuery;
    deleteSequences(builtSequences);
    deleteSequences(lastSequences);
    delete stacker;
}

// ---------------------------------------------------------------------------
// Input

TList<TList<BinItem*>> SequenceWidget::copySequences(const TList<TList<BinItem*>>& sequences,
                                                     TList<TList<BinItem*>>& spares)
{
    // The spares' items are overwritten in turn rather than deleted and
    // made anew; those left over are deleted. Items given again as input
    // (the caller's own copies) would be overwritten before they are read:
    // then every copy is a new item.
    std::vector<BinItem*> reuse;
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
    bool given = false;
    for (const TList<BinItem*>& sequence : spares.items) {
        for (BinItem* item : sequence.items) {
            given = given || item == firstGiven;
            reuse.push_back(item);
        }
    }
    spares.clear();
    if (given) {
        TList<TList<BinItem*>> copies = copySequences(sequences, spares);
        for (BinItem* item : reuse)
            delete item;
        return copies;
    }

    const BinItem blank(nullptr, nullptr);
    std::size_t next = 0;
    TList<TList<BinItem*>> copies;
    copies.items.reserve(sequences.items.size());
    for (const TList<BinItem*>& sequence : sequences.items) {
        TList<BinItem*> copy;
        copy.items.reserve(sequence.items.size());
        for (const BinItem* item : sequence.items) {
            BinItem* own;
            if (next < reuse.size()) {
                own = reuse[next++];
                *own = item ? *item : blank;
            } else {
                own = item ? new BinItem(*item) : new BinItem(nullptr, nullptr);
            }
            // The condition belongs to the store of the sender and is never
            // read here.
            own->condition = nullptr;
            copy.items.push_back(own);
        }
        copies.items.push_back(std::move(copy));
    }
    for (; next < reuse.size(); ++next)
        delete reuse[next];
    return copies;
}

void SequenceWidget::deleteSequences(TList<TList<BinItem*>>& sequences)
{
    for (TList<BinItem*>& sequence : sequences.items) {
        for (BinItem* item : sequence.items)
            delete item;
    }
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

void SequenceWidget::defer(std::function<void()> build, bool rebuild)
{
    deferredBuilds.push_back(std::move(build));
    supersede = supersede || rebuild;
}

void SequenceWidget::buildSequences(const TList<TList<BinItem*>>& sequences)
{
    if (aligning) {
        auto copies = heldCopies(sequences);
        defer([this, copies]() { buildSequences(*copies); });
        return;
    }
    // The items of the last build's copies are reused for the new ones; the
    // rows point at them until buildRows replaces the rows, reading none.
    builtSequences = copySequences(sequences, builtSequences);
    buildRows(builtSequences);
}

void SequenceWidget::showSequences(const TList<TList<BinItem*>>& sequences)
{
    if (aligning) {
        auto copies = heldCopies(sequences);
        defer([this, copies]() { showSequences(*copies); });
        return;
    }
    // The items of the stored copies are reused for the new ones; the rows
    // point at them until the rebuild replaces the rows, reading none.
    lastSequences = copySequences(sequences, lastSequences);
    recompute();
}

void SequenceWidget::setMSA(bool on)
{
    if (aligning) {
        defer([this, on]() { setMSA(on); });
        return;
    }
    msaOn = on;
    buildRows(lastSequences);
    deleteSequences(builtSequences);
}

void SequenceWidget::recompute()
{
    if (aligning) {
        defer([this]() { recompute(); });
        return;
    }
    buildRows(lastSequences);
    deleteSequences(builtSequences);
    updateMinimumWidth();
    partsSetWidth = building();
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
    if (partPhase == NoPart)
        return;
    partTimer->stop();
    partPhase = NoPart;
    partSource = nullptr;
    partsSetWidth = false;
    merging = false;
    mergeLabels.clear();
}

void SequenceWidget::runPart()
{
    if (partPhase == Stacking) {
        resumingParts = true;
        buildRows(*partSource, false);
        return;
    }
    if (partPhase != Merging)
        return;
    QElapsedTimer clock;
    clock.start();
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
    finishMerge();
    if (setWidth)
        updateMinimumWidth();
    if (!deferredBuilds.empty() && !aligning) {
        std::vector<std::function<void()>> builds;
        builds.swap(deferredBuilds);
        supersede = false;
        for (const std::function<void()>& build : builds)
            build();
    }
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

    twins.clear();
    // Gaps that lengthened short rows are kept for the next padding; those
    // of the alignment are deleted.
    if (alignedGaps) {
        for (BinItem* gap : gapItems.items)
            delete gap;
    }
    gapItems.clear();
    alignedGaps = false;

    const TList<TList<TList<BinItem*>>> groups = stacker->buildStacked(sequences);
    TList<TList<BinItem*>> built;
    built.items.reserve(groups.items.size());
    for (const TList<TList<BinItem*>>& group : groups.items) {
        const TList<BinItem*>& first = group.items.front();
        built.append(first);
        if (group.size() > 1) {
            for (int j = 0; j < first.size(); ++j) {
                TList<BinItem*>& same = twins[first.items[std::size_t(j)]];
                for (int g = 1; g < group.size(); ++g) {
                    const TList<BinItem*>& other = group.items[std::size_t(g)];
                    if (j < other.size())
                        same.append(other.items[std::size_t(j)]);
                }
            }
        }
    }

    delete currentQuery;
    currentQuery = nullptr;

    int length = 0;
    TList<TList<BinItem*>> shownBefore;
    const bool aligned = align && !built.isEmpty() && alignRows(built, shownUnaligned ? &shownBefore : nullptr);
    alignedGaps = aligned;
    if (!aligned) {
        for (const TList<BinItem*>& row : built.items)
            length = std::max(length, row.size());
        const BinItem blank(nullptr, nullptr);
        std::size_t used = 0;
        for (TList<BinItem*>& row : built.items) {
            while (row.size() < length) {
                BinItem* gap;
                if (used < paddingGaps.size()) {
                    gap = paddingGaps[used];
                    *gap = blank;
                } else {
                    gap = new BinItem(nullptr, nullptr);
                    paddingGaps.push_back(gap);
                }
                ++used;
                gap->name = GAP_GLYPH_NAME;
                gapItems.append(gap);
                row.append(gap);
            }
        }
        for (std::size_t k = used; k < paddingGaps.size(); ++k)
            delete paddingGaps[k];
        paddingGaps.resize(used);
    } else {
        // The alignment puts one gap glyph of its own at every gap position:
        // the first entry that is not one of the given glyphs.
        length = built.isEmpty() ? 0 : built.first().size();
        QSet<BinItem*> given;
        for (const TList<BinItem*>& sequence : sequences.items) {
            for (BinItem* item : sequence.items)
                given.insert(item);
        }
        for (const TList<BinItem*>& row : built.items) {
            auto gap = std::find_if(row.items.begin(), row.items.end(),
                                    [&given](BinItem* item) { return item && !given.contains(item); });
            if (gap != row.items.end()) {
                gapItems.append(*gap);
                break;
            }
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
        // unaligned build of the sequences (in parts, where they are many).
        progressDialog.reset();
        showAlignmentProblem();
        if (!supersede) {
            buildRows(sequences, false);
            return;
        }
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
    for (int k = 0; k < length; ++k) {
        auto* triangle = new SortTriangle(owner, this);
        triangle->setState(k == 0 ? 0 : 2);
        sortTriangles.append(triangle);
    }
    if (unchanged) {
        // As the geometry pass places the triangles; the items stay.
        for (int k = 0; k < sortTriangles.size(); ++k) {
            SortTriangle* triangle = sortTriangles.items[std::size_t(k)];
            triangle->setX(leftMargin + k * (itemWidth + columnGap));
            triangle->setY(topOffset);
            triangle->setWidth(itemWidth);
            triangle->setHeight(headerHeight);
        }
        overlayPaths.clear();
        clickedEvents.clear();
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
        aligning = true;
        mergeProgress = [this, count](int done, int total) {
            return reportProgress(AlignmentBudget::LayingOut, done, total, count);
        };
        bool stopped = false;
        try {
            mergeColumns();
        } catch (const AlignmentBudget::Stopped&) {
            stopped = true;
        } catch (const std::bad_alloc&) {
            stopped = true;
            alignmentProblem = alignmentFailure(count);
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
            buildRows(sequences, false);
            if (dropped)
                emit alignmentDropped();
            return;
        }
    }
    progressDialog.reset();
    showAlignmentProblem();
    if (!deferredBuilds.empty() && !aligning && !building()) {
        std::vector<std::function<void()>> builds;
        builds.swap(deferredBuilds);
        supersede = false;
        for (const std::function<void()>& build : builds)
            build();
    }
}

void SequenceWidget::showAlignmentProblem()
{
    if (alignmentProblem.isEmpty())
        return;
    const QString problem = alignmentProblem;
    alignmentProblem.clear();
    MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Multiple Sequence Alignment"), problem, window());
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
        QCoreApplication::processEvents();
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
    TList<TList<BinItem*>> result;
    try {
        result = computeAlignment(built, &budget);
    } catch (const AlignmentBudget::Stopped& stop) {
        dropped = true;
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
    } catch (const std::bad_alloc&) {
        dropped = true;
        alignmentProblem = alignmentFailure(count);
    } catch (const std::length_error&) {
        dropped = true;
        alignmentProblem = alignmentFailure(count);
    }
    aligning = false;
    if (!dropped)
        return built = std::move(result), true;
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
    clearShownItems();
    stateCounts.clear();
    keyStates.clear();
    stateColours.clear();
    stateKeys.clear();
    statePaths.clear();
    stateEvents.clear();
    rowItemStates.clear();
    nodes.clear();
    parents.clear();
    firstChild.clear();
    lastChild.clear();
    nextSibling.clear();
    labelOf.clear();
    childCount.clear();
    counts.clear();
    keys.clear();
    paths.clear();
    colours.clear();
    lastNames.clear();
    eventLists.clear();
    successorOf.clear();
    lastRowItems.clear();
    rowItems.clear();
    lastRowStates.clear();
    rowStates.clear();
    keyedStates = 0;
    layoutCurrent = false;
    delete automaton;
    automaton = nullptr;
}

// ---------------------------------------------------------------------------
// Prefix automaton

int SequenceWidget::tableSize(int entries)
{
    int size = 16;
    while (size < 2 * entries)
        size *= 2;
    return size;
}

SequenceWidget::Successor& SequenceWidget::findSuccessor(quint64 key)
{
    const std::size_t mask = successorOf.size() - 1;
    std::size_t at = std::size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    while (successorOf[at].state >= 0 && successorOf[at].key != key)
        at = (at + 1) & mask;
    return successorOf[at];
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
    labelOf[std::size_t(child)] = label;
    const int children = ++childCount[std::size_t(state)];
    if (children <= WIDE_STATE)
        return;
    if (successorOf.empty())
        successorOf.resize(std::size_t(tableSize(successorCapacity)), Successor{~quint64(0), -1});
    auto put = [this, state](int c) {
        const quint64 key = (quint64(quint32(state)) << 32) | quint32(labelOf[std::size_t(c)]);
        findSuccessor(key) = {key, c};
    };
    if (children == WIDE_STATE + 1) {
        // Just grown wide: its children so far go into the table too.
        for (int c = firstChild[std::size_t(state)]; c >= 0; c = nextSibling[std::size_t(c)])
            put(c);
    } else {
        put(child);
    }
}

int SequenceWidget::addState(int parent, const QString& key, const QString& path,
                             const QString& name, const QColor& colour)
{
    // Ids as the automaton gives them: in the order the states are made.
    const StateId state(qint32(nodes.size()));
    if (parent >= 0) {
        const std::size_t p = std::size_t(parent);
        if (firstChild[p] < 0)
            firstChild[p] = state.id;
        else
            nextSibling[std::size_t(lastChild[p])] = state.id;
        lastChild[p] = state.id;
    }
    parents.push_back(parent);
    firstChild.push_back(-1);
    lastChild.push_back(-1);
    nextSibling.push_back(-1);
    labelOf.push_back(-1);
    childCount.push_back(0);
    // An id below keyedStates finds its entry of the last merge and
    // overwrites it; a new one is inserted.
    stateKeys[state] = key;
    statePaths[state] = path;
    keyStates.insert(key, state);
    stateColours[state] = colour;
    // The start state has no events: no row item maps to it.
    if (parent >= 0) {
        TList<QSharedPointer<Packet>>& events = stateEvents[state];
        events.clear();
        eventLists.push_back(&events);
    } else {
        eventLists.push_back(nullptr);
    }
    nodes.push_back(state);
    counts.push_back(0);
    keys.push_back(key);
    paths.push_back(path);
    colours.push_back(colour);
    // The label is the glyph's whole name, dots and all.
    lastNames.push_back(name);
    return state.id;
}

void SequenceWidget::mergeColumns()
{
    beginMerge();
    mergeRows(0, rows.size());
    finishMerge();
}

void SequenceWidget::beginMerge()
{
    // stateCounts, stateColours, stateKeys, statePaths and stateEvents are
    // overwritten state by state below and lose the ids beyond the new
    // states at the end; stateItems and itemStates follow at the geometry
    // pass, which lays out every state anew.
    merging = true;
    previousStates = keyedStates;
    // Emptied entry by entry: its bucket table stays for the new keys, and
    // the freed entries are at hand for them.
    for (auto it = keyStates.begin(); it != keyStates.end();)
        it = keyStates.erase(it);
    layoutCurrent = false;
    // Label ids stay from merge to merge (the ids only need to tell labels
    // apart); a table grown large is emptied.
    if (labelIds.size() > 4096)
        labelIds.clear();
    nodes.clear();
    parents.clear();
    firstChild.clear();
    lastChild.clear();
    nextSibling.clear();
    labelOf.clear();
    childCount.clear();
    counts.clear();
    keys.clear();
    paths.clear();
    colours.clear();
    lastNames.clear();
    eventLists.clear();
    delete automaton;
    automaton = nullptr;

    const int rowCount = rows.size();
    const int length = columnCount();
    int steps = 0;
    for (const TList<BinItem*>& row : rows.items)
        steps += row.size();
    // Sized once for the most states the rows can make: growing these
    // tables step by step costs more than the whole walk.
    const int most = steps + 1;
    successorOf.clear();
    successorCapacity = most;
    rowItems.reserve(std::size_t(steps));
    rowStates.reserve(std::size_t(steps));
    if (steps > rowItemStates.capacity())
        rowItemStates.reserve(steps);
    if (most > keyStates.capacity())
        keyStates.reserve(most);
    // Only growing: a smaller reserve would rebuild the bucket tables.
    if (most > stateCounts.capacity()) {
        stateEvents.reserve(most);
        stateKeys.reserve(most);
        statePaths.reserve(most);
        stateColours.reserve(most);
        stateCounts.reserve(most);
    }
    nodes.reserve(std::size_t(most));
    parents.reserve(std::size_t(most));
    firstChild.reserve(std::size_t(most));
    lastChild.reserve(std::size_t(most));
    nextSibling.reserve(std::size_t(most));
    labelOf.reserve(std::size_t(most));
    childCount.reserve(std::size_t(most));
    counts.reserve(std::size_t(most));
    keys.reserve(std::size_t(most));
    paths.reserve(std::size_t(most));
    colours.reserve(std::size_t(most));
    lastNames.reserve(std::size_t(most));
    eventLists.reserve(std::size_t(most));

    addState(-1, QString(), QString(), QString(), START_COLOUR);
    startState = nodes.front();

    // Merge labels, column by column: left of the sort column a name that
    // comes back after another name gets a new label (A, A, B, A1, B1).
    // From the sort column on the label is the name (or "*").
    std::vector<std::vector<QString>>& labels = mergeLabels;
    labels.clear();
    const int counted = std::min(sortColumn, length);
    labelledColumns = counted;
    if (counted > 0) {
        labels.resize(std::size_t(rowCount));
        for (int r = 0; r < rowCount; ++r)
            labels[std::size_t(r)].resize(
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
            labels[std::size_t(r)][std::size_t(c)] = label;
        }
    }
}

void SequenceWidget::mergeRows(int from, int to)
{
    const int rowCount = rows.size();
    const int counted = labelledColumns;
    const std::vector<std::vector<QString>>& labels = mergeLabels;
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
        for (int c = 0; c < row.size(); ++c) {
            BinItem* item = row.items[std::size_t(c)];
            const QString& label =
                c < counted ? labels[std::size_t(r)][std::size_t(c)] : nameOrStar(item);
            auto labelId = labelIds.constFind(label);
            if (labelId == labelIds.constEnd())
                labelId = labelIds.insert(label, labelIds.size());
            const int labelNumber = labelId.value();
            int state = findChild(current, labelNumber);
            if (state < 0) {
                const QString& name = nameOrStar(item);
                const QString& parentKey = keys[std::size_t(current)];
                const QString& parentPath = paths[std::size_t(current)];
                const QString key = current == 0 ? label : parentKey % QLatin1Char('.') % label;
                // Where every label on the way is its name, the path is the
                // key: one string for both.
                const QString path = parentPath.isSharedWith(parentKey) && label == name
                                         ? key
                                         : current == 0 ? name : parentPath % QLatin1Char('.') % name;
                state = addState(current, key, path, name, item->fillColor);
                addChild(current, state, labelNumber);
            }
            // The copies and padding gaps are reused items: most of them
            // find their entry of the last merge.
            rowItemStates[item] = nodes[std::size_t(state)];
            rowItems.push_back(item);
            rowStates.push_back(state);
            // Appended as the vector grows by itself: a state that many
            // rows pass gets the events of every one of them.
            std::vector<QSharedPointer<Packet>>& events = eventLists[std::size_t(state)]->items;
            events.insert(events.end(), item->packets.items.begin(), item->packets.items.end());
            if (!twins.isEmpty()) {
                auto same = twins.constFind(item);
                if (same != twins.constEnd()) {
                    for (const BinItem* twin : same.value().items)
                        events.insert(events.end(), twin->packets.items.begin(), twin->packets.items.end());
                }
            }
            counts[std::size_t(state)] += weight;
            current = state;
        }
    }
}

void SequenceWidget::finishMerge()
{
    mergeLabels.clear();

    // Entries of row items that the last merge had and this one has not.
    // Every item of the rows has its entry now, so with the alignment's
    // gaps (which may stand in a row more than once) aside, a table of the
    // size of the rows holds nothing else.
    if (rowItemStates.size() != int(rowItems.size()) || msaOn) {
        std::vector<BinItem*> current = rowItems;
        std::sort(current.begin(), current.end());
        for (BinItem* item : lastRowItems) {
            if (!std::binary_search(current.begin(), current.end(), item))
                rowItemStates.remove(item);
        }
    }
    lastRowItems.swap(rowItems);
    rowItems.clear();
    lastRowStates.swap(rowStates);
    rowStates.clear();

    const int states = int(nodes.size());
    for (int id = 0; id < states; ++id)
        stateCounts[nodes[std::size_t(id)]] = counts[std::size_t(id)];
    for (int id = states; id < previousStates; ++id) {
        const StateId gone(id);
        stateCounts.remove(gone);
        stateKeys.remove(gone);
        statePaths.remove(gone);
        stateColours.remove(gone);
        stateEvents.remove(gone);
    }
    keyedStates = states;

    merging = false;
    computeGeometry();
    update();
}

Automaton* SequenceWidget::prefixAutomaton()
{
    if (automaton || nodes.empty())
        return automaton;
    automaton = new Automaton;
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        StateId state;
        automaton->addState(state);
    }
    for (std::size_t id = 1; id < nodes.size(); ++id)
        automaton->addEdge(nodes[std::size_t(parents[id])], nodes[id], nullptr);
    return automaton;
}

// ---------------------------------------------------------------------------
// Geometry

void SequenceWidget::clearShownItems()
{
    for (BinItem* item : layoutPool)
        delete item;
    layoutPool.clear();
    for (BinItem* run : runPool)
        delete run;
    runPool.clear();
    shownItems.clear();
    mergedRuns.clear();
    runLists.clear();
    itemStates.clear();
    stateItems.clear();
    keyedRuns = 0;
}

void SequenceWidget::syncLayoutPool(int states)
{
    // Slot 0 stands for the start state, which is not laid out.
    const std::size_t wanted = std::size_t(std::max(states, 1));
    for (std::size_t id = wanted; id < layoutPool.size(); ++id) {
        BinItem* item = layoutPool[id];
        itemStates.remove(item);
        stateItems.remove(StateId(qint32(id)));
        delete item;
    }
    if (layoutPool.size() > wanted)
        layoutPool.resize(wanted);
    if (int(wanted) > itemStates.capacity()) {
        itemStates.reserve(int(wanted));
        stateItems.reserve(int(wanted));
        layoutPool.reserve(wanted);
    }
    if (layoutPool.empty())
        layoutPool.push_back(nullptr);
    for (std::size_t id = layoutPool.size(); id < wanted; ++id) {
        auto* item = new BinItem(nullptr, this);
        const StateId state{qint32(id)};
        itemStates.insert(item, state);
        stateItems.insert(state, item);
        layoutPool.push_back(item);
    }
}

BinItem* SequenceWidget::runItem(int k)
{
    if (std::size_t(k) >= runPool.size())
        runPool.push_back(new BinItem(nullptr, this));
    return runPool[std::size_t(k)];
}

void SequenceWidget::computeGeometry()
{
    // A merge under way lays the states out when it ends.
    if (merging)
        return;
    overlayPaths.clear();
    if (currentQuery)
        buildOverlay();

    shownItems.clear();
    clickedEvents.clear();

    if (!rows.isEmpty()) {
        for (int k = 0; k < sortTriangles.size(); ++k) {
            SortTriangle* triangle = sortTriangles.items[std::size_t(k)];
            triangle->setX(leftMargin + k * (itemWidth + columnGap));
            triangle->setY(topOffset);
            triangle->setWidth(itemWidth);
            triangle->setHeight(headerHeight);
        }
    }

    // Every state but the start one gets its item of the pool: the keys of
    // itemStates and stateItems stay as they were for the states both
    // passes have.
    syncLayoutPool(int(nodes.size()));
    layoutCurrent = true;
    TList<BinItem*> laidOut;
    if (!nodes.empty()) {
        const double H = height() - 2 * topOffset - headerHeight - 10;
        double y = topOffset + 10 + headerHeight;
        laidOut.items.reserve(nodes.size());
        const BinItem blank(nullptr, this);
        for (int child = firstChild.front(); child >= 0; child = nextSibling[std::size_t(child)]) {
            const int first = laidOut.size();
            layoutState(child, 0, leftMargin, y, H, blank, laidOut);
            if (laidOut.size() > first)
                y = truncated(laidOut.items[std::size_t(first)]->bottom());
        }
    }

    int runs = 0;
    if (mergeMode && !laidOut.isEmpty()) {
        // Merge mode: per column (by left edge), runs of items with one label.
        QHash<int, int> columnOf;
        std::vector<std::vector<int>> columns;
        for (int i = 0; i < laidOut.size(); ++i) {
            const int left = truncated(laidOut.items[std::size_t(i)]->left());
            auto found = columnOf.constFind(left);
            if (found == columnOf.constEnd()) {
                columnOf.insert(left, int(columns.size()));
                columns.push_back({i});
            } else {
                columns[std::size_t(found.value())].push_back(i);
            }
        }
        std::vector<BinItem*> runOf(laidOut.items.size(), nullptr);
        std::vector<char> startsRun(laidOut.items.size(), 0);
        for (const std::vector<int>& members : columns) {
            BinItem* run = nullptr;
            TList<BinItem*>* covered = nullptr;
            for (int i : members) {
                BinItem* item = laidOut.items[std::size_t(i)];
                if (run && item->label == run->label) {
                    run->setHeight(run->storedHeight + item->height());
                    run->label = item->label;
                    run->name = QStringLiteral("...") + item->label;
                } else {
                    // A run of the last pass keeps its entry in mergedRuns.
                    run = runItem(runs);
                    *run = *item;
                    if (runs < keyedRuns) {
                        covered = runLists[std::size_t(runs)];
                    } else {
                        covered = &mergedRuns[run];
                        runLists.push_back(covered);
                    }
                    covered->clear();
                    ++runs;
                    startsRun[std::size_t(i)] = 1;
                }
                covered->append(item);
                runOf[std::size_t(i)] = run;
            }
        }
        shownItems.items.reserve(std::size_t(runs));
        // Each run once, at the place of its first item.
        for (std::size_t i = 0; i < runOf.size(); ++i) {
            if (startsRun[i])
                shownItems.append(runOf[i]);
        }
    } else {
        shownItems = std::move(laidOut);
    }

    // Runs of the last pass beyond this pass's runs are gone.
    const int keyed = std::max(keyedRuns, runs);
    for (int k = runs; k < keyed; ++k)
        mergedRuns.remove(runPool[std::size_t(k)]);
    runLists.resize(std::size_t(runs));
    for (std::size_t k = std::size_t(runs); k < runPool.size(); ++k)
        delete runPool[k];
    runPool.resize(std::size_t(runs));
    keyedRuns = runs;
}

void SequenceWidget::layoutState(int s, int p, double x, double y, double h, const BinItem& blank,
                                 TList<BinItem*>& out)
{
    // An explicit stack: rows can be as long as a trace.
    struct Pending
    {
        int state;
        int parent;
        double x;
        double y;
        double h;
    };
    std::vector<Pending> stack{{s, p, x, y, h}};
    while (!stack.empty()) {
        const Pending at = stack.back();
        stack.pop_back();
        double height = at.h;
        const int parentCount = counts[std::size_t(at.parent)];
        const int count = counts[std::size_t(at.state)];
        if (parentCount != 0)
            height = height * count / parentCount;

        BinItem* item = layoutPool[std::size_t(at.state)];
        // The item as new, but with the name and label it holds already
        // when they are the state's (a pass without a merge): their texts
        // are not touched.
        QString name;
        QString label;
        name.swap(item->name);
        label.swap(item->label);
        *item = blank;
        item->setX(at.x);
        item->setY(at.y);
        item->setWidth(itemWidth);
        item->setHeight(std::max(height, 1.0));
        const QString& key = keys[std::size_t(at.state)];
        if (name.isSharedWith(key))
            item->name.swap(name);
        else
            item->name = key;
        const QString& last = lastNames[std::size_t(at.state)];
        if (last != QLatin1String("*")) {
            if (label.isSharedWith(last))
                item->label.swap(label);
            else
                item->label = last;
        }
        item->fillColor = colours[std::size_t(at.state)];
        item->visible = !last.contains(QLatin1String("dummy"));
        out.append(item);

        // Children: one column on, stacked from the top of this item, each
        // below the previous one's own item; pushed in reverse so that the
        // first child's subtree comes first.
        const std::size_t firstPending = stack.size();
        double childY = at.y;
        for (int child = firstChild[std::size_t(at.state)]; child >= 0;
             child = nextSibling[std::size_t(child)]) {
            stack.push_back({child, at.state, at.x + itemWidth + columnGap, childY, height});
            double childHeight = height;
            if (count != 0)
                childHeight = childHeight * counts[std::size_t(child)] / count;
            childY += std::max(childHeight, 1.0);
        }
        std::reverse(stack.begin() + std::ptrdiff_t(firstPending), stack.end());
    }
}

// ---------------------------------------------------------------------------
// Query overlay

void SequenceWidget::buildOverlay()
{
    overlayChecks = 0;
    const THash<QString, int>* columns =
        owner && owner->glyphStore ? &owner->glyphStore->attributeColumns : nullptr;

    // The state of every row item, from the last merge's walk where the rows
    // are still those it walked, else from rowItemStates; -1 for none.
    const int stateTotal = int(nodes.size());
    std::vector<int> rowStart(std::size_t(rows.size()) + 1, 0);
    for (int r = 0; r < rows.size(); ++r)
        rowStart[std::size_t(r) + 1] = rowStart[std::size_t(r)] + rows.items[std::size_t(r)].size();
    auto stateOf = [this, stateTotal](std::size_t k, BinItem* item) {
        int id;
        if (k < lastRowItems.size() && lastRowItems[k] == item) {
            id = lastRowStates[k];
        } else {
            auto found = rowItemStates.constFind(item);
            id = found == rowItemStates.constEnd() ? -1 : found.value().id;
        }
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
            std::size_t k = std::size_t(rowStart[std::size_t(r)]);
            for (BinItem* item : row.items) {
                const int state = stateOf(k++, item);
                if (state >= 0)
                    hits[std::size_t(state)] += m;
            }
        }
    }

    std::vector<double> used(std::size_t(stateTotal), 0.0);
    std::vector<const BinItem*> path;
    std::vector<int> states;
    for (const RowHits& hit : hitRows) {
        const TList<BinItem*>& row = rows.items[std::size_t(hit.row)];
        path.clear();
        states.clear();
        double band = -1.0;
        bool complete = true;
        std::size_t k = std::size_t(rowStart[std::size_t(hit.row)]);
        for (BinItem* item : row.items) {
            const int state = stateOf(k++, item);
            // Right after a merge the laid-out items are those of the last
            // states: none belongs to the new ones yet. The laid-out item of
            // state s (s >= 1) is the pool's.
            const BinItem* laid = layoutCurrent && state >= 1 && std::size_t(state) < layoutPool.size()
                                      ? layoutPool[std::size_t(state)]
                                      : nullptr;
            if (!laid) {
                complete = false;
                break;
            }
            const int c = counts[std::size_t(state)];
            const double w = c != 0 ? double(hit.matched) / c * laid->height() : 0.0;
            band = band < 0 ? w : std::min(band, w);
            path.push_back(laid);
            states.push_back(state);
        }
        if (!complete || path.empty())
            continue;

        QPainterPath line;
        for (std::size_t p = 0; p < path.size(); ++p) {
            const BinItem* laid = path[p];
            const std::size_t state = std::size_t(states[p]);
            int y;
            const int cy = truncated(laid->centerY());
            if (path.size() >= 2) {
                const int c = counts[state];
                const double t = hits[state];
                const double share = c != 0 ? t / c : 0.0;
                double& space = used[state];
                y = truncated(cy - share * laid->height() / 2 + band / 2 + space);
                space = std::trunc(space + band);
            } else {
                y = cy;
            }
            const int cx = truncated(laid->centerX());
            if (p == 0) {
                line.moveTo(cx, y);
                continue;
            }
            const QPointF current = line.currentPosition();
            const int left = truncated(laid->left());
            const double d = std::min(left - current.x(), laid->width() / 2);
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
    mergeColumns();
}

// ---------------------------------------------------------------------------
// Events and slots

TList<QSharedPointer<Packet>> SequenceWidget::eventsOf(BinItem* shown) const
{
    TList<QSharedPointer<Packet>> events;
    if (!shown)
        return events;
    auto run = mergedRuns.constFind(shown);
    if (run != mergedRuns.constEnd()) {
        for (BinItem* item : run.value().items) {
            auto state = itemStates.constFind(item);
            if (state != itemStates.constEnd()) {
                const std::vector<QSharedPointer<Packet>>& more = stateEvents.value(state.value()).items;
                events.items.insert(events.items.end(), more.begin(), more.end());
            }
        }
        return events;
    }
    auto state = itemStates.constFind(shown);
    if (state != itemStates.constEnd())
        events = stateEvents.value(state.value());
    return events;
}

double SequenceWidget::shareOf(BinItem* shown) const
{
    if (!shown)
        return 0.0;
    int count = 0;
    auto run = mergedRuns.constFind(shown);
    if (run != mergedRuns.constEnd()) {
        for (BinItem* item : run.value().items)
            count += stateCounts.value(itemStates.value(item), 0);
    } else {
        count = stateCounts.value(itemStates.value(shown), 0);
    }
    const int total = stateCounts.value(startState, 0);
    return total != 0 ? double(count) / total : 0.0;
}

int SequenceWidget::stateCount() const { return stateCounts.size(); }
int SequenceWidget::countOf(int state) const { return stateCounts.value(StateId(state), 0); }
QString SequenceWidget::keyOf(int state) const { return stateKeys.value(StateId(state)); }
QString SequenceWidget::pathOf(int state) const { return statePaths.value(StateId(state)); }
QColor SequenceWidget::colourOf(int state) const { return stateColours.value(StateId(state)); }
int SequenceWidget::parentOf(int state) const
{
    return state >= 0 && std::size_t(state) < parents.size() ? parents[std::size_t(state)] : -1;
}
TList<QSharedPointer<Packet>> SequenceWidget::eventsOfState(int state) const
{
    return stateEvents.value(StateId(state));
}
int SequenceWidget::stateOfKey(const QString& key) const { return keyStates.value(key, StateId(-1)).id; }
int SequenceWidget::stateAt(int row, int column) const
{
    if (row < 0 || row >= rows.size() || column < 0 || column >= rows.items[std::size_t(row)].size())
        return -1;
    std::size_t k = 0;
    for (int r = 0; r < row; ++r)
        k += rows.items[std::size_t(r)].items.size();
    k += std::size_t(column);
    if (k < lastRowStates.size() && lastRowItems[k] == rows.items[std::size_t(row)].items[std::size_t(column)])
        return lastRowStates[k];
    return rowItemStates.value(rows.items[std::size_t(row)].items[std::size_t(column)], StateId(-1)).id;
}
BinItem* SequenceWidget::stateItem(int state) { return stateItems.value(StateId(state), nullptr); }
int SequenceWidget::stateOfItem(const BinItem* item) const
{
    return itemStates.value(const_cast<BinItem*>(item), StateId(-1)).id;
}
int SequenceWidget::shownCount() const { return shownItems.size(); }
BinItem* SequenceWidget::shownItem(int k) { return shownItems.items[std::size_t(k)]; }
QList<BinItem*> SequenceWidget::shownList()
{
    QList<BinItem*> out;
    for (BinItem* item : shownItems.items)
        out.append(item);
    return out;
}
QList<BinItem*> SequenceWidget::runItems(const BinItem* shown)
{
    QList<BinItem*> out;
    auto run = mergedRuns.constFind(const_cast<BinItem*>(shown));
    if (run != mergedRuns.constEnd())
        for (BinItem* item : run.value().items)
            out.append(item);
    return out;
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
    const int mx = truncated(e->localPos().x());
    const int my = truncated(e->localPos().y());
    if (e->button() == Qt::RightButton) {
        selectSequencesAction->setEnabled(false);
        inspectSelectionAction->setEnabled(!clickedEvents.isEmpty());
        inspectFrequenciesAction->setEnabled(!clickedEvents.isEmpty());
        contextMenu->popup(e->globalPos());
        return;
    }
    for (BinItem* item : shownItems.items) {
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
    for (BinItem* item : shownItems.items) {
        if (!item->contains(mx, my))
            continue;
        item->selected = true;
        clickedEvents = eventsOf(item);
        if (!clickedEvents.isEmpty() && owner) {
            auto* packets = new PacketsEvent(this, clickedEvents, {QStringLiteral("select")});
            QCoreApplication::sendEvent(owner, packets);
            delete packets;
        }
        break;
    }
    update();
}

void SequenceWidget::mouseMoveEvent(QMouseEvent* e)
{
    lastMouse = QPoint(truncated(e->localPos().x()), truncated(e->localPos().y()));
    hoverTimer->start();
    if (histogramDialog) {
        histogramDialog->close();
        delete histogramDialog;
        histogramDialog = nullptr;
    }
    for (SortTriangle* triangle : sortTriangles.items)
        triangle->highlighted = triangle->contains(lastMouse.x(), lastMouse.y());
    QString tip;
    for (BinItem* item : shownItems.items) {
        item->highlighted = false;
        item->auxValue = 0;
        if (!item->contains(lastMouse.x(), lastMouse.y()))
            continue;
        item->highlighted = true;
        item->auxValue = 1;
        const double share = roundTo(shareOf(item), 3) * 100;
        tip = QStringLiteral("Event: ")
              + (item->name.isEmpty() ? QStringLiteral("Default") : item->name)
              + QStringLiteral(" (") + QString::number(share, 'g', 6) + QStringLiteral("%)");
    }
    if (tip.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(e->globalPos(), tip, this);
    update();
}

void SequenceWidget::leaveEvent(QEvent* e)
{
    QWidget::leaveEvent(e);
    lastMouse.setX(-1);
    hoverTimer->stop();
}

void SequenceWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillRect(rect(), Qt::white);
    QPen pen;
    QBrush brush;
    for (BinItem* item : shownItems.items) {
        if (item->visible)
            item->paint(&painter, pen, brush);
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
}

void SequenceWidget::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    computeGeometry();
    update();
}

void SequenceWidget::inspect()
{
    auto* dialog = new InspectWidget(owner, clickedEvents, nullptr);
    dialog->exec();
    delete dialog;
}

void SequenceWidget::inspectFreq()
{
    BinItem* hovered = nullptr;
    for (BinItem* item : shownItems.items) {
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
        auto* packets = new PacketsEvent(this, events, {QStringLiteral("hover")});
        QCoreApplication::sendEvent(owner, packets);
        delete packets;
    }
    // A dialog left from the last inspection (the mouse has not moved since)
    // shows other events: a new one replaces it.
    delete histogramDialog;
    histogramDialog = new HistogramWidget(DST_ATTRIBUTE, owner, events, this);
    connect(histogramDialog, &HistogramWidget::hoverQuery, this, &SequenceWidget::hoverQuery);
    histogramDialog->adjustSize();
    const int x = lastMouse.x();
    const int y = lastMouse.y();
    const int dx = std::max(0, histogramDialog->width() + x - width());
    const int dy = std::max(0, histogramDialog->height() + y - height());
    ScreenPlacement::moveOnScreen(histogramDialog, mapToGlobal(QPoint(x - (dx + 5), y - (dy + 5))),
                                  mapToGlobal(lastMouse));
    histogramDialog->exec();
    delete currentQuery;
    currentQuery = nullptr;
    overlayPaths.clear();
    update();
}

void SequenceWidget::selectSequences()
{
}

void SequenceWidget::setDrawLines(bool on)
{
    drawLines = on;
    computeGeometry();
    repaint();
}

void SequenceWidget::hoverTimeOut()
{
    hoverTimer->stop();
}

void SequenceWidget::hoverQuery(ParseNode* query)
{
    if (query != currentQuery)
        delete currentQuery;
    currentQuery = query;
    computeGeometry();
    repaint();
}

void SequenceWidget::setItemSize(int size)
{
    itemWidth = size;
    updateMinimumWidth();
    computeGeometry();
    update();
}

void SequenceWidget::setVItemSize(int percent)
{
    topOffset = truncated(percent / 100.0 * (height() - 2 * leftMargin) + leftMargin);
    computeGeometry();
    update();
}

void SequenceWidget::setMergeMode(bool on)
{
    mergeMode = on;
    computeGeometry();
    update();
}
