#include "views/attributes/ScentedWidget.h"

#include "app/ControlWidget.h"
#include "events/PacketsEvent.h"
#include "core/Constants.h"
#include "core/DeferredRelease.h"
#include "core/DisplayText.h"
#include "core/HandlerGuard.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "views/attributes/AnnotatedLocker.h"
#include "views/attributes/DoubleSlider.h"
#include "views/attributes/GuiThreadCheck.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/OutOfMemory.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMouseEvent>
#include <QMutex>
#include <QPainter>
#include <QTimer>
#include <QToolTip>

#include <atomic>
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <vector>

const QColor ScentedWidget::BAR_COLOR(177, 189, 197, 255);
const QColor ScentedWidget::FILTERED_COLOR(222, 226, 230, 255);
const QColor ScentedWidget::HIGHLIGHT_COLOR(255, 128, 0, 150);
const QColor ScentedWidget::PICK_COLOR(0, 0, 255, 150);

namespace {

// Delay of the render made after a frame had to be skipped.
constexpr int RENDER_RETRY_MS = 10;

// A bar's height for a count on the given axis, as an int.
int heightOf(const Axis& axis, int count)
{
    return axis.binIndex(TVariant(count));
}

// The side of a context whose column filters a histogram reads and writes.
THash<int, QSet<TVariant>>& filtersOf(Context* context, bool tracesSide)
{
    return tracesSide ? context->conversationValueSets : context->valueSets;
}

// A histogram of a large log holds every event once in its bins: the bins'
// event lists go to the background thread that frees large structures,
// the bins themselves here.
void dropSerie(BinSerie* serie)
{
    if (!serie)
        return;
    std::unique_ptr<std::vector<std::vector<QSharedPointer<Packet>>>> lists;
    std::size_t held = 0;
    try {
        lists = std::make_unique<std::vector<std::vector<QSharedPointer<Packet>>>>();
        for (BinItem* bin : serie->items.items) {
            if (!bin || bin->packets.items.empty())
                continue;
            lists->push_back(std::move(bin->packets.items));
            held += lists->back().size();
            bin->packets.items = std::vector<QSharedPointer<Packet>>();
        }
    } catch (const std::bad_alloc&) {
        // No room to hand the lists over (a destructor calls this): the
        // rest go here with their bins.
    }
    delete serie;
    deferredrelease::release(std::move(lists), held);
}

} // namespace

ScentedWidget::ScentedWidget(ControlWidget* control, QWidget* parent, const QString& attribute,
                             DoubleSlider* slider, bool tracesSide)
    : ImgWidget(control, parent)
    , slider(slider)
    , attribute(attribute)
    , tracesSide(tracesSide)
    , contextMutex(new QMutex)
{
    background = QColor(255, 255, 255, 255);
    // The histogram is counted at the widget's size, but its images are
    // only shown once the grid has given it its own size: until then they
    // are kept small.
    ImgWidget::setSize(1, 1);
    viewX = x();
    viewY = y();
    viewWidth = width();
    viewHeight = height();
}

ScentedWidget::~ScentedWidget()
{
    delete xAxis;
    delete yAxis;
    dropSerie(serie);
    delete contextMutex;
}

QMutex* ScentedWidget::filterMutex()
{
    static QMutex mutex;
    return &mutex;
}

QSize ScentedWidget::sizeHint() const
{
    return QSize(30, 30);
}

QRectF ScentedWidget::dataRect()
{
    return QRectF(0, 0, width(), height());
}

void ScentedWidget::reset()
{
    ImgWidget::reset();
}

bool ScentedWidget::isRangeAttribute() const
{
    return glyphStore && glyphStore->isRangeAttribute(attribute);
}

int ScentedWidget::columnLocked() const
{
    if (!glyphStore)
        return -1;
    const THash<QString, int>& columns =
        tracesSide ? glyphStore->conversationAttributeColumns : glyphStore->attributeColumns;
    auto it = columns.constFind(attribute);
    if (it == columns.constEnd()) {
        qDebug().noquote() << "no column for" << attribute;
        return -1;
    }
    return it.value();
}

int ScentedWidget::binCountLocked() const
{
    if (auto* bins = dynamic_cast<const BinAxis*>(xAxis))
        return std::min(bins->count(), maxBins);
    return maxBins;
}

int ScentedWidget::binCount() const
{
    AnnotatedLocker lock(contextMutex);
    return binCountLocked();
}

// ---------------------------------------------------------------------------
// Computing

void ScentedWidget::compute(Context* c, bool clearSets, bool relayout)
{
    bool counted = false;
    {
        AnnotatedLocker lock(contextMutex);
        context = c;
        mouseX = -1.0;
        mouseY = -1.0;
        if (clearSets) {
            deferredrelease::releaseContents(pickedPackets, std::size_t(pickedPackets.size()));
            highlightedPackets.clear();
        }
        dropHoveredLocked();
        dropPickedLocked();
        if (!context)
            qDebug("no selection ;(");
        buildYAxisLocked();
        buildXAxisLocked();
        rebuildBinsLocked();
        counted = context && xAxis && yAxis;
    }
    if (counted) {
        layoutBins();
        render(true, true, nullptr);
    }
    if (relayout) {
        if (GuiThreadCheck::onGuiThread())
            setSize(-1, -1);
        else
            QMetaObject::invokeMethod(this, "relayout", Qt::QueuedConnection);
    }
}

bool ScentedWidget::showsCountsOf(const Context* c, const QSet<QSharedPointer<Packet>>& picked, int bins,
                                  int order, bool logScale) const
{
    LUMIVANE_GUI_THREAD_ONLY();
    AnnotatedLocker lock(contextMutex);
    if (!c || context != c || !serie || !xAxis || !yAxis || maxBins != bins || binSort != order
        || logarithmic != logScale || mouseX >= 0 || mouseY >= 0 || !highlightedPackets.isEmpty()
        || !hoveredBins.isEmpty() || pickedPackets != picked)
        return false;
    // A compute puts the slider on the bins of the column's filter: a
    // slider the user has moved shows it otherwise.
    AnnotatedLocker filterLock(filterMutex());
    const THash<int, QSet<TVariant>>& filters = filtersOf(context, tracesSide);
    auto it = filters.constFind(columnLocked());
    return it == filters.constEnd() || it.value().isEmpty();
}

void ScentedWidget::buildYAxisLocked()
{
    if (!context)
        return;
    // The new axis is made before the old one goes.
    std::unique_ptr<Axis> axis(new Axis(QPointF(viewX, viewY), viewWidth, 0, QStringLiteral("#msg"), -1, 0.0,
                                        1.0, true));
    delete yAxis;
    yAxis = axis.release();
}

void ScentedWidget::buildXAxisLocked()
{
    if (!context || !glyphStore)
        return;
    bool many = false;
    std::unique_ptr<IAxis> axis = makeXAxisLocked(many);
    delete xAxis;
    xAxis = axis.release();
    manyValues = many;
}

std::unique_ptr<IAxis> ScentedWidget::makeXAxisLocked(bool& many) const
{
    const QPointF pos(viewX, viewY);
    if (isRangeAttribute()) {
        many = manyValues;
        std::unique_ptr<Axis> axis(new Axis(pos, viewWidth, 0, attribute, columnLocked(),
                                            glyphStore->minValue(attribute, context),
                                            glyphStore->maxValue(attribute, context), false));
        axis->logScale = false;
        return axis;
    }

    const int n = maxBins;
    TList<TVariant> values = binSort == BIN_SORT_RARITY
                                 ? glyphStore->lastValues(attribute, n, context)
                                 : glyphStore->firstValues(attribute, n, context);
    const bool numbers = std::all_of(values.begin(), values.end(),
                                     [](const TVariant& v) { return v.isNumber(); });
    if (numbers && binSort == BIN_SORT_DEFAULT) {
        // Ascending by number; values with the same number (1 and 1.0) are one.
        std::map<double, TVariant> sorted;
        for (const TVariant& v : values.items)
            sorted.emplace(v.toDouble(), v);
        TList<TVariant> ascending;
        ascending.items.reserve(sorted.size());
        for (const auto& entry : sorted)
            ascending.append(entry.second);
        std::swap(values.items, ascending.items);
    }
    many = values.size() > 39;
    return std::unique_ptr<IAxis>(new BinAxis(pos, viewWidth, 0, attribute, values,
                                              glyphStore->attributeMap(tracesSide), false, values.size() > n,
                                              false));
}

ScentedWidget::PaleBins ScentedWidget::paleBinsLocked() const
{
    PaleBins pale;
    if (!context || !xAxis)
        return pale;
    const int col = columnLocked();
    QSet<TVariant> filter;
    {
        AnnotatedLocker lock(filterMutex());
        const THash<int, QSet<TVariant>>& filters = filtersOf(context, tracesSide);
        auto it = filters.constFind(col);
        if (it != filters.constEnd())
            filter = it.value();
    }

    const int n = binCountLocked();
    if (n <= 0)
        return pale;
    QSet<int>& bins = pale.bins;
    int lead = 0;
    int trail = n;
    if (auto* axis = dynamic_cast<BinAxis*>(xAxis)) {
        for (int i = 0; i < n; ++i) {
            if (filter.contains(axis->value(i)))
                bins.insert(i);
        }
        if (axis->miscBin) {
            const TList<TVariant> others = axis->otherValues();
            for (const TVariant& v : others.items) {
                if (filter.contains(v)) {
                    bins.insert(n - 1);
                    break;
                }
            }
        }
        while (lead < n && bins.contains(lead))
            ++lead;
        int back = 0;
        while (back < n && bins.contains(n - 1 - back))
            ++back;
        trail = n - back;
    } else if (auto* axis = dynamic_cast<Axis*>(xAxis)) {
        const double span = axis->max - axis->min;
        // A range of one value maps no filter onto bins.
        if (span == 0.0 || !std::isfinite(span))
            return pale;
        for (const TVariant& v : filter) {
            if (v.isPair()) {
                const QPair<double, double> range = v.toPair();
                const int a = IAxis::clampToInt(std::ceil((range.first - axis->min) / span * n));
                const int b = IAxis::clampToInt(std::ceil((range.second - axis->min) / span * n));
                for (int i = 0; i < std::min(a, n); ++i)
                    bins.insert(i);
                for (int i = std::max(b, 0); i < n; ++i)
                    bins.insert(i);
                lead = a;
                trail = b;
            } else if (v.isValid()) {
                const int i = IAxis::clampToInt(std::ceil((v.toDouble() - axis->min) / span * n));
                if (i >= 0 && i < n)
                    bins.insert(i);
            }
        }
    }

    const int w = viewWidth;
    if (w <= 0)
        return pale;
    const double step = double(w - 2 * (n - 1)) / n + 2;
    pale.moveSlider = true;
    pale.from = step * lead / w;
    pale.to = step * trail / w;
    return pale;
}

void ScentedWidget::rebuildBinsLocked()
{
    if (!xAxis || !yAxis)
        return;
    // The bins, their lists and marks and the pale bins are made aside and
    // put in place at the end, where nothing allocates: out of memory on
    // the way, the histogram keeps what it showed.
    PaleBins pale = paleBinsLocked();
    const int n = binCountLocked();
    std::unique_ptr<BinSerie, void (*)(BinSerie*)> next(new BinSerie(nullptr), dropSerie);
    next->items.items.reserve(std::size_t(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        std::unique_ptr<BinItem> bin(new BinItem(next.get(), nullptr));
        // Room for the layout's two stops and for every bin in the marked
        // lists: a later layout, hover or selection allocates nothing.
        bin->colorStops.items.reserve(2);
        next->items.append(bin.get());
        bin.release();
    }
    TList<BinItem*> hovered;
    TList<BinItem*> picked;
    TList<BinItem*> order;
    hovered.items.reserve(std::size_t(std::max(n, 0)));
    picked.items.reserve(std::size_t(std::max(n, 0)));

    const bool counted = context && n > 0;
    double largest = 0.0;
    if (counted) {
        countBinsLocked(*next, n);
        for (int i = 0; i < n; ++i) {
            BinItem* bin = next->items.items[std::size_t(i)];
            bin->auxDouble = bin->packets.size();
            largest = std::max(largest, bin->auxDouble);
            bin->auxFlag = pale.bins.contains(i);
            if (bin->highlighted)
                hovered.append(bin);
            if (bin->selected)
                picked.append(bin);
        }
        order = next->items;
    }

    // In place: nothing below allocates but the axis's two labels.
    BinSerie* old = serie;
    serie = next.release();
    std::swap(hoveredBins.items, hovered.items);
    std::swap(pickedBins.items, picked.items);
    std::swap(axisOrder.items, order.items);
    std::swap(filteredBins, pale.bins);
    if (counted) {
        serie->second = largest;
        yAxis->setRange(0.0, largest);
    }
    dropSerie(old);
    if (pale.moveSlider)
        moveSlider(pale.from, pale.to);
}

void ScentedWidget::countBinsLocked(BinSerie& bins, int n)
{
    const TList<QSharedPointer<Packet>>& records =
        tracesSide ? context->conversationPackets : context->packets;
    const int col = columnLocked();
    auto* range = dynamic_cast<Axis*>(xAxis);
    const double length = xAxis->width;
    const bool anyPicked = !pickedPackets.isEmpty();
    const bool anyHighlighted = !highlightedPackets.isEmpty();
    // The label of a bin is the text of the last value counted into it.
    std::vector<const TVariant*> lastValue(std::size_t(n), nullptr);
    // First the bin of every record and its place in the bin's list, which
    // only reads the records; then every list is filled at its full size.
    const std::size_t count = records.items.size();
    std::vector<int> binOf(count, -1);
    std::vector<int> slotOf(count, 0);
    std::vector<int> sizes(std::size_t(n), 0);
    for (std::size_t r = 0; r < count; ++r) {
        const QSharedPointer<Packet>& record = records.items[r];
        const TVariant& value = record->get(col);
        if (!value.isValid())
            continue;
        int index;
        if (range) {
            // A pixel offset scaled to the bins; an axis without length has bin 0.
            index = 0;
            if (length > 0) {
                const int offset = range->binIndex(value);
                index = IAxis::clampToInt(std::trunc(double(n - 1) * offset / length));
                index = std::max(0, std::min(index, n - 1));
            }
        } else {
            index = xAxis->binIndex(value);
            if (index < 0 || index >= n)
                continue;
        }
        BinItem* bin = bins.items.items[std::size_t(index)];
        lastValue[std::size_t(index)] = &value;
        binOf[r] = index;
        slotOf[r] = sizes[std::size_t(index)]++;
        ++bin->totalCount;
        if (anyPicked && pickedPackets.contains(record)) {
            ++bin->selectedCount;
            bin->selected = true;
        } else if (anyHighlighted && highlightedPackets.contains(record)) {
            ++bin->auxValue;
            bin->highlighted = true;
        }
    }
    std::vector<std::vector<QSharedPointer<Packet>>*> lists(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        lists[std::size_t(i)] = &bins.items.items[std::size_t(i)]->packets.items;
        lists[std::size_t(i)]->resize(std::size_t(sizes[std::size_t(i)]));
    }
    // Every copy counts a reference on the event. The histograms of a panel
    // are computed side by side over the same events: each one starts at
    // another place, so that they do not fight over the same counts. The
    // lists come out in record order all the same.
    static std::atomic<unsigned> turn{0};
    const std::size_t start = count * (turn.fetch_add(1, std::memory_order_relaxed) % 16) / 16;
    constexpr std::size_t AHEAD = 16;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t r = start + k < count ? start + k : start + k - count;
        // A count is changed under a lock that waits for its memory: the
        // counts a stretch ahead are asked for meanwhile.
        const std::size_t ahead = r + AHEAD < count ? r + AHEAD : r + AHEAD - count;
        if (AHEAD < count && binOf[ahead] >= 0)
            __builtin_prefetch(records.items[ahead].data(), 1);
        const int b = binOf[r];
        if (b >= 0)
            (*lists[std::size_t(b)])[std::size_t(slotOf[r])] = records.items[r];
    }
    for (int i = 0; i < n; ++i) {
        if (lastValue[std::size_t(i)])
            bins.items.items[std::size_t(i)]->label = DisplayText::of(*lastValue[std::size_t(i)]);
    }
}

// ---------------------------------------------------------------------------
// Order and layout of the bins

void ScentedWidget::sortItems()
{
    LUMIVANE_GUI_THREAD_ONLY();
    AnnotatedLocker lock(contextMutex);
    sortItemsLocked();
}

void ScentedWidget::sortItemsLocked()
{
    if (!serie)
        return;
    std::vector<BinItem*>& items = serie->items.items;
    if (binSort == BIN_SORT_SELECTED) {
        std::stable_sort(items.begin(), items.end(), [](const BinItem* a, const BinItem* b) {
            return a->selectedCount > b->selectedCount;
        });
    } else if (isRangeAttribute() && binSort == BIN_SORT_FREQUENCY) {
        std::stable_sort(items.begin(), items.end(), [](const BinItem* a, const BinItem* b) {
            return a->packets.size() > b->packets.size();
        });
    } else if (isRangeAttribute() && binSort == BIN_SORT_RARITY) {
        std::stable_sort(items.begin(), items.end(), [](const BinItem* a, const BinItem* b) {
            return a->packets.size() < b->packets.size();
        });
    } else if (axisOrder.size() == serie->items.size()) {
        serie->items = axisOrder;
    }
}

void ScentedWidget::layoutBins()
{
    AnnotatedLocker lock(contextMutex);
    layoutBinsLocked();
}

void ScentedWidget::layoutBinsLocked()
{
    if (!xAxis || !yAxis || !serie)
        return;
    sortItemsLocked();
    const int n = binCountLocked();
    if (n <= 0)
        return;
    const double length = xAxis->width;
    const double g = std::trunc(length - n);
    const int barWidth = g / n <= 1.0 ? 1 : IAxis::clampToInt(std::ceil(g / n));

    // The bars' heights are the count axis's offsets on the chosen scale:
    // the axis itself measures them, so that a layout allocates nothing.
    struct Scale
    {
        Axis& axis;
        const bool was;
        ~Scale() { axis.logScale = was; }
    } scale{*yAxis, yAxis->logScale};
    yAxis->logScale = logarithmic;
    const Axis& heights = *yAxis;

    const int count = serie->items.size();
    for (int i = 0; i < count; ++i) {
        BinItem* bin = serie->items.items[std::size_t(i)];
        const double offset = double(i) * barWidth;
        const int events = bin->packets.size();
        const int height = events > 0 ? std::max(3, heightOf(heights, events)) : 1;

        int highlightStop = heightOf(heights, bin->selectedCount + bin->auxValue);
        if (bin->auxValue > 0)
            highlightStop = std::max(3, highlightStop);
        int pickStop = heightOf(heights, bin->selectedCount);
        if (bin->selectedCount > 0)
            pickStop = std::max(3, pickStop);
        if (bin->auxFlag) {
            highlightStop = 0;
            pickStop = 0;
        }
        bin->colorStops.clear();
        bin->colorStops.append(qMakePair(HIGHLIGHT_COLOR, double(highlightStop)));
        bin->colorStops.append(qMakePair(PICK_COLOR, double(pickStop)));

        bin->setWidth(offset <= g ? barWidth : 0);
        bin->setHeight(height);
        bin->setX(std::trunc(xAxis->x + offset + i));
        bin->setY(std::trunc(yAxis->y - height));
    }
}

// ---------------------------------------------------------------------------
// Drawing

bool ScentedWidget::render(bool renderOverlay, bool update, QImage* target)
{
    QImage* img = target ? target : &image;
    const bool locked = AnnotatedLocker::tryLock(imageMutex);
    if (!locked && !target) {
        scheduleRender();
        return false;
    }
    if (img->paintingActive()) {
        if (locked)
            AnnotatedLocker::unlock(imageMutex);
        return false;
    }
    // The bins may be rebuilt on a pool thread right now: skip the frame.
    if (!AnnotatedLocker::tryLock(contextMutex)) {
        if (locked)
            AnnotatedLocker::unlock(imageMutex);
        if (!target)
            scheduleRender();
        return false;
    }
    // Both are let go of however the drawing ends (out of memory too).
    struct Held
    {
        QMutex* context;
        QMutex* image;
        ~Held()
        {
            if (context)
                AnnotatedLocker::unlock(context);
            if (image)
                AnnotatedLocker::unlock(image);
        }
    } held{contextMutex, locked ? imageMutex : nullptr};
    // Text needs fonts of the drawing thread's own, which a pool thread
    // looks up through the system's font library, and that library does
    // not survive running out of memory: the marker is drawn on the GUI
    // thread, whose fonts are there.
    const bool marker = manyValues && yAxis && !isRangeAttribute();
    const bool here = GuiThreadCheck::onGuiThread();

    img->fill(background);
    QPainter painter(img);
    painter.setPen(Qt::NoPen);
    if (serie) {
        for (const BinItem* bin : serie->items.items) {
            if (!bin->visible)
                continue;
            const double w = bin->width();
            const double h = bin->height();
            painter.fillRect(QRectF(bin->x, bin->y, w, h), bin->auxFlag ? FILTERED_COLOR : BAR_COLOR);
            for (const QPair<QColor, double>& stop : bin->colorStops.items) {
                if (stop.second > 0)
                    painter.fillRect(QRectF(bin->x, bin->y + h - stop.second, w, stop.second),
                                     stop.first);
            }
        }
    }
    if (marker && here) {
        const int h = viewHeight;
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(std::max(1, int(0.7 * h)));
        painter.setFont(font);
        painter.setPen(QColor(Qt::red));
        painter.drawText(QRectF(-1, yAxis->y - h, 10, h), Qt::AlignCenter,
                         QStringLiteral("!"));
    }
    painter.end();
    held.context = nullptr;
    AnnotatedLocker::unlock(contextMutex);
    if (held.image) {
        held.image = nullptr;
        AnnotatedLocker::unlock(imageMutex);
    }

    if (marker && !here && !target) {
        // Drawn again there, marker and all.
        QMetaObject::invokeMethod(
            this, [this, renderOverlay]() { HandlerGuard::run([&] { render(renderOverlay, true, nullptr); }); },
            Qt::QueuedConnection);
        return true;
    }
    if (renderOverlay)
        this->renderOverlay();
    if (update)
        requestRepaint();
    return true;
}

bool ScentedWidget::renderOverlay()
{
    if (!AnnotatedLocker::tryLock(imageMutex)) {
        scheduleRender();
        return false;
    }
    if (overlay.paintingActive()) {
        AnnotatedLocker::unlock(imageMutex);
        return false;
    }
    overlay.fill(Qt::transparent);
    AnnotatedLocker::unlock(imageMutex);
    requestRepaint();
    return true;
}

void ScentedWidget::requestRepaint()
{
    if (GuiThreadCheck::onGuiThread())
        update();
    else
        QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
}

void ScentedWidget::scheduleRender()
{
    if (!GuiThreadCheck::onGuiThread()) {
        QMetaObject::invokeMethod(this, "queuedRender", Qt::QueuedConnection);
        return;
    }
    if (renderPending)
        return;
    QTimer::singleShot(RENDER_RETRY_MS, this, [this]() {
        renderPending = false;
        HandlerGuard::run([&] { render(true, true, nullptr); });
    });
    renderPending = true;
}

void ScentedWidget::queuedRender()
{
    HandlerGuard::run([&] { scheduleRender(); });
}

void ScentedWidget::moveSlider(double from, double to)
{
    if (!slider)
        return;
    if (GuiThreadCheck::onGuiThread()) {
        slider->changeFromToValue(from, to);
        return;
    }
    QMetaObject::invokeMethod(slider, "changeFromToValue", Qt::QueuedConnection,
                              Q_ARG(double, from), Q_ARG(double, to));
}

void ScentedWidget::paintEvent(QPaintEvent*)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::paint(this, [&] {
        // A pool thread may be painting the images: paint them a moment later.
        if (!AnnotatedLocker::tryLock(imageMutex)) {
            QTimer::singleShot(RENDER_RETRY_MS, this, [this]() { HandlerGuard::run([&] { update(); }); });
            return;
        }
        // Let go of however the paint ends.
        struct Held
        {
            QMutex* mutex;
            ~Held() { AnnotatedLocker::unlock(mutex); }
        } held{imageMutex};
        drawImages();
    });
}

void ScentedWidget::setSize(int w, int h)
{
    LUMIVANE_GUI_THREAD_ONLY();
    const int width = w == -1 ? this->width() : w;
    const int height = h == -1 ? this->height() : h;
    {
        AnnotatedLocker imageLock(imageMutex);
        ImgWidget::setSize(w, h);
    }
    {
        AnnotatedLocker lock(contextMutex);
        viewX = x();
        viewY = y();
        viewWidth = width;
        viewHeight = height;
        if (xAxis && yAxis) {
            xAxis->x = 10;
            xAxis->y = height - 2;
            xAxis->setSize(width - 15, 0);
            yAxis->x = 10;
            yAxis->y = height - 2;
            yAxis->setSize(height - 10, 0);
            layoutBinsLocked();
        }
    }
    render(true, true, nullptr);
}

void ScentedWidget::relayout()
{
    // Queued by a compute on a pool thread: it ends here.
    HandlerGuard::run([&] { setSize(-1, -1); });
}

void ScentedWidget::refreshView()
{
    layoutBins();
    render(true, true, nullptr);
}

// ---------------------------------------------------------------------------
// Slots

void ScentedWidget::setLogarithm(bool on)
{
    LUMIVANE_GUI_THREAD_ONLY();
    waitForJobs();
    {
        AnnotatedLocker lock(contextMutex);
        logarithmic = on;
    }
    refreshView();
}

void ScentedWidget::setBinSort(int mode)
{
    LUMIVANE_GUI_THREAD_ONLY();
    waitForJobs();
    if (mode == BIN_SORT_SELECTED || !context || !glyphStore) {
        {
            AnnotatedLocker lock(contextMutex);
            binSort = mode;
        }
        if (mode != BIN_SORT_SELECTED)
            setSize(-1, -1);
        refreshView();
        return;
    }
    {
        // The new axis and its bins take the place of the old ones together:
        // out of memory, the order and the bins stay as they were.
        AnnotatedLocker lock(contextMutex);
        const int order = binSort;
        const bool many = manyValues;
        IAxis* old = xAxis;
        binSort = mode;
        try {
            std::unique_ptr<IAxis> axis = makeXAxisLocked(manyValues);
            // Where the widget's size puts it: the range bins count by it.
            axis->x = 10;
            axis->y = height() - 2;
            axis->setSize(width() - 15, 0);
            xAxis = axis.release();
            rebuildBinsLocked();
        } catch (...) {
            if (xAxis != old)
                delete xAxis;
            xAxis = old;
            binSort = order;
            manyValues = many;
            throw;
        }
        delete old;
    }
    setSize(-1, -1);
}

void ScentedWidget::setXBeginOffset(double)
{
    HandlerGuard::run([&] { setSize(-1, -1); });
}

void ScentedWidget::setXEndOffset(double)
{
    HandlerGuard::run([&] { setSize(-1, -1); });
}

void ScentedWidget::sliderDragTimeOut()
{
    // The end of the drag: the events the filter left picked go to the
    // other views whole, or not at all. After a drag that changed nothing
    // (and said so) there is nothing new to tell them.
    if (dragRanOut) {
        dragRanOut = false;
        return;
    }
    try {
        // The drag made the event with its filter: it is sent as made.
        std::unique_ptr<PacketsEvent> pick = std::move(pendingPick);
        if (!pick) {
            selectPackets();
            return;
        }
        if (owner)
            QCoreApplication::sendEvent(owner, pick.get());
    } catch (const std::bad_alloc&) {
        tellOutOfMemory(this, QStringLiteral("Failed to select events"),
                        QStringLiteral("handing the events picked by ") + attribute
                            + QStringLiteral(" to the other views"),
                        QStringLiteral("they show the selection as before."));
    }
}

void ScentedWidget::sliderDragMove(double from, double to)
{
    // The slider's drag: out of memory, the histogram and the column's
    // filter stay as they were.
    dragRanOut = false;
    try {
        std::unique_ptr<PacketsEvent> pick;
        sliderDragMove(from, to, true, &pick);
        pendingPick = std::move(pick);
    } catch (const std::bad_alloc&) {
        dragRanOut = true;
        tellOutOfMemory(this, QStringLiteral("Failed to filter events"),
                        QStringLiteral("filtering the events by ") + attribute,
                        QStringLiteral("shows them as before."));
    }
}

void ScentedWidget::sliderDragMove(double from, double to, bool rebuild)
{
    sliderDragMove(from, to, rebuild, nullptr);
}

void ScentedWidget::sliderDragMove(double from, double to, bool rebuild, std::unique_ptr<PacketsEvent>* pick)
{
    LUMIVANE_GUI_THREAD_ONLY();
    waitForJobs();
    {
        AnnotatedLocker lock(contextMutex);
        if (!context || !glyphStore)
            return;
        const bool open = from == 0.0 && to == 1.0;
        // The side's new filters and picked events are made aside; then they
        // and the old ones change places, and change back unless the bins
        // were counted anew too.
        THash<int, QSet<TVariant>> filters;
        QSet<QSharedPointer<Packet>> picked;
        int col = -1;
        if (open) {
            AnnotatedLocker filterLock(filterMutex());
            filters = THash<int, QSet<TVariant>>(filtersOf(context, tracesSide).isOrdered());
        } else {
            const int n = binCountLocked();
            const int w = viewWidth;
            // Without bins, width or column the range maps onto no filter.
            if (n > 0 && w > 0 && columnLocked() >= 0 && xAxis) {
                col = columnLocked();
                const double step = double(w - 2 * (n - 1)) / n + 2;
                const int lo = IAxis::clampToInt(std::trunc(from * w / step));
                const int hi = IAxis::clampToInt(std::ceil(to * w / step));
                QSet<TVariant> filter;
                if (auto* bins = dynamic_cast<BinAxis*>(xAxis)) {
                    const int count = std::min(n, bins->count());
                    for (int i = 0; i < std::min(lo, count); ++i)
                        filter.insert(bins->value(i));
                    for (int i = std::max(hi, 0); i < count; ++i)
                        filter.insert(bins->value(i));
                } else if (auto* axis = dynamic_cast<Axis*>(xAxis)) {
                    const double span = axis->max - axis->min;
                    filter.insert(TVariant(axis->min + double(lo) / n * span,
                                           axis->min + double(hi) / n * span));
                }
                AnnotatedLocker filterLock(filterMutex());
                filters = filtersOf(context, tracesSide);
                filters[col] = filter;
            }
            picked = pickedPackets;
        }

        struct Swapped
        {
            ScentedWidget* histogram;
            THash<int, QSet<TVariant>>* filters;
            QSet<QSharedPointer<Packet>>& picked;
            double from;
            double to;
            bool kept = false;
            void swap()
            {
                if (filters) {
                    AnnotatedLocker filterLock(filterMutex());
                    std::swap(filtersOf(histogram->context, histogram->tracesSide), *filters);
                }
                histogram->pickedPackets.swap(picked);
            }
            ~Swapped()
            {
                if (kept)
                    return;
                swap();
                if (DoubleSlider* s = histogram->slider) {
                    s->from = from;
                    s->to = to;
                    s->updateLayout();
                }
            }
        } swapped{this, (open || col >= 0) ? &filters : nullptr, picked, slider ? slider->from : 0.0,
                  slider ? slider->to : 1.0};
        swapped.swap();
        // An open range puts the slider back first: the new bins may place
        // it on their filter.
        if (open && slider) {
            slider->changeFromToValue(0.0, 1.0);
            slider->update();
        }
        if (col >= 0) {
            const TList<int> columns{col};
            for (auto it = pickedPackets.begin(); it != pickedPackets.end();) {
                if (glyphStore->checkPacketColumns(*it, context, columns, tracesSide))
                    ++it;
                else
                    it = pickedPackets.erase(it);
            }
        }
        if (pick)
            *pick = pickedEventLocked();
        // Last, as it puts its bins in place once made.
        if (rebuild)
            rebuildBinsLocked();
        // Done: nothing below allocates.
        swapped.kept = true;
        if (open && !rebuild) {
            filteredBins.clear();
            if (serie) {
                for (BinItem* bin : serie->items.items)
                    bin->auxFlag = false;
            }
        }
        layoutBinsLocked();
    }
    render(true, true, nullptr);
}

// ---------------------------------------------------------------------------
// Selections and hovers

bool ScentedWidget::dropHoveredLocked()
{
    bool changed = false;
    const int mx = IAxis::clampToInt(mouseX);
    const int my = IAxis::clampToInt(mouseY);
    for (int i = hoveredBins.size() - 1; i >= 0; --i) {
        BinItem* bin = hoveredBins.items[std::size_t(i)];
        if (!bin->contains(mx, my)) {
            bin->highlighted = false;
            hoveredBins.items.erase(hoveredBins.items.begin() + i);
            changed = true;
        }
    }
    return changed;
}

bool ScentedWidget::dropPickedLocked()
{
    bool changed = false;
    const int mx = IAxis::clampToInt(mouseX);
    const int my = IAxis::clampToInt(mouseY);
    for (int i = pickedBins.size() - 1; i >= 0; --i) {
        BinItem* bin = pickedBins.items[std::size_t(i)];
        if (!bin->contains(mx, my)) {
            bin->selected = false;
            pickedBins.items.erase(pickedBins.items.begin() + i);
            changed = true;
        }
    }
    return changed;
}

void ScentedWidget::waitForJobs()
{
    if (jobPool)
        jobPool->waitForDone(-1);
}

void ScentedWidget::markHighlightedLocked()
{
    if (!serie)
        return;
    const bool any = !highlightedPackets.isEmpty();
    for (BinItem* bin : serie->items.items) {
        int count = 0;
        if (any) {
            for (const QSharedPointer<Packet>& p : bin->packets.items) {
                if (highlightedPackets.contains(p) && !pickedPackets.contains(p))
                    ++count;
            }
        }
        bin->auxValue = count;
        bin->highlighted = count > 0;
        if (bin->highlighted && !hoveredBins.contains(bin))
            hoveredBins.append(bin);
    }
}

void ScentedWidget::markPickedLocked(const PacketSet& members)
{
    if (!serie)
        return;
    const bool any = !pickedPackets.isEmpty();
    const bool flat = !members.isEmpty();
    for (BinItem* bin : serie->items.items) {
        int count = 0;
        if (any) {
            for (const QSharedPointer<Packet>& p : bin->packets.items) {
                if (flat ? members.contains(p) : pickedPackets.contains(p))
                    ++count;
            }
        }
        bin->selectedCount = count;
        bin->selected = count > 0;
        if (bin->selected && !pickedBins.contains(bin))
            pickedBins.append(bin);
    }
}

void ScentedWidget::highlightHovered(const QSet<QSharedPointer<Packet>>& packets)
{
    LUMIVANE_GUI_THREAD_ONLY();
    waitForJobs();
    {
        AnnotatedLocker lock(contextMutex);
        dropHoveredLocked();
        highlightedPackets = packets;
        markHighlightedLocked();
        layoutBinsLocked();
    }
    render(true, true, nullptr);
}

void ScentedWidget::highlightSelected(const QSet<QSharedPointer<Packet>>& packets)
{
    LUMIVANE_GUI_THREAD_ONLY();
    waitForJobs();
    {
        AnnotatedLocker lock(contextMutex);
        dropHoveredLocked();
        dropPickedLocked();
        // Taken first: what is given may be the set that goes.
        QSet<QSharedPointer<Packet>> next = packets;
        deferredrelease::releaseContents(pickedPackets, std::size_t(pickedPackets.size()));
        pickedPackets.swap(next);
        markPickedLocked(PacketSet());
        layoutBinsLocked();
    }
    render(true, true, nullptr);
}

void ScentedWidget::applySelection(const QSet<QSharedPointer<Packet>>& records, const PacketSet& members)
{
    {
        AnnotatedLocker lock(contextMutex);
        dropHoveredLocked();
        dropPickedLocked();
        highlightedPackets.clear();
        // A selection of many events is let go of in the background: the
        // panel's jobs run while the matrix rebuilds.
        QSet<QSharedPointer<Packet>> next = records;
        deferredrelease::releaseContents(pickedPackets, std::size_t(pickedPackets.size()));
        pickedPackets.swap(next);
        markHighlightedLocked();
        markPickedLocked(members);
        layoutBinsLocked();
    }
    render(true, true, nullptr);
}

void ScentedWidget::selectPackets()
{
    LUMIVANE_GUI_THREAD_ONLY();
    waitForJobs();
    std::unique_ptr<PacketsEvent> event;
    {
        AnnotatedLocker lock(contextMutex);
        event = pickedEventLocked();
    }
    if (owner)
        QCoreApplication::sendEvent(owner, event.get());
}

std::unique_ptr<PacketsEvent> ScentedWidget::pickedEventLocked() const
{
    TList<QSharedPointer<Packet>> events;
    if (!pickedPackets.isEmpty()) {
        if (!tracesSide) {
            events.items.assign(pickedPackets.begin(), pickedPackets.end());
        } else if (context && glyphStore) {
            const int col = glyphStore->conversationAttributeColumns.value(CONV_CONVID, 0);
            for (const QSharedPointer<Packet>& record : pickedPackets) {
                const int id = record->get(col).toInt();
                auto it = context->conversations.constFind(id);
                if (it == context->conversations.constEnd()) {
                    qDebug().noquote() << "no trace" << id;
                    continue;
                }
                events.append(it.value());
            }
        }
    }
    return std::unique_ptr<PacketsEvent>(
        new PacketsEvent(const_cast<ScentedWidget*>(this), events, {QStringLiteral("select"), QStringLiteral("ctrl")}));
}

// ---------------------------------------------------------------------------
// Mouse

void ScentedWidget::resizeEvent(QResizeEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] { ImgWidget::resizeEvent(event); });
}

void ScentedWidget::mouseMoveEvent(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    // The hover has its own message; what follows it (the tooltip, the
    // overlay) ends here too.
    HandlerGuard::run([&] {
        waitForJobs();
        bool changed = false;
        QString tip;
        try {
            hover(event, changed, tip);
        } catch (const std::bad_alloc&) {
            // Out of memory: nothing is hovered (which needs none).
            {
                AnnotatedLocker lock(contextMutex);
                for (BinItem* bin : hoveredBins.items)
                    bin->highlighted = false;
                hoveredBins.items.clear();
                highlightedPackets.clear();
            }
            tellOutOfMemory(this, QStringLiteral("Failed to highlight events"),
                            QStringLiteral("highlighting the events of a bin of ") + attribute,
                            QStringLiteral("shows none highlighted."));
            changed = true;
            tip.clear();
        }
        if (changed)
            QToolTip::hideText();
        if (!tip.isEmpty())
            QToolTip::showText(event->globalPos(), tip, this);
        renderOverlay();
    });
}

void ScentedWidget::hover(QMouseEvent* event, bool& changed, QString& tip)
{
    bool entered = false;
    // A compute resets the mouse position under the same lock.
    AnnotatedLocker lock(contextMutex);
    ImgWidget::mouseMoveEvent(event);
    changed = dropHoveredLocked();
    if ((changed || hoveredBins.isEmpty()) && serie) {
        const int mx = IAxis::clampToInt(mouseX);
        const int my = IAxis::clampToInt(mouseY);
        for (BinItem* bin : serie->items.items) {
            if (bin->auxFlag || !bin->contains(mx, my))
                continue;
            if (!bin->highlighted) {
                bin->highlighted = true;
                hoveredBins.append(bin);
                entered = true;
                const int count = bin->packets.size();
                const int total =
                    (glyphStore && context) ? glyphStore->valueTotal(context, attribute) : 0;
                const double percent = total > 0 ? roundTo(double(count) / total * 100.0, 2) : 0.0;
                tip = QStringLiteral("value: ") + bin->label + QStringLiteral("\n Frequency: ")
                      + QString::number(count) + QStringLiteral("/") + QString::number(total)
                      + QStringLiteral(" (") + QString::number(percent, 'g', 6)
                      + QStringLiteral("%)");
            }
            break;
        }
    }
    // The highlight is the union of the hovered bins' events; it only
    // changes with them, but a hover handed in from another view ends
    // once the mouse is over this histogram and no bin is hovered.
    if (changed || entered) {
        QSet<QSharedPointer<Packet>> union_;
        for (const BinItem* bin : hoveredBins.items) {
            for (const QSharedPointer<Packet>& p : bin->packets.items)
                union_.insert(p);
        }
        highlightedPackets.swap(union_);
    } else if (hoveredBins.isEmpty()) {
        highlightedPackets.clear();
    }
}

void ScentedWidget::mousePressEvent(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        waitForJobs();
        try {
            pick(event);
        } catch (const std::bad_alloc&) {
            tellOutOfMemory(this, QStringLiteral("Failed to select events"),
                            QStringLiteral("picking the events of a bin of ") + attribute,
                            QStringLiteral("shows the selection as before."));
        }
        renderOverlay();
    });
}

void ScentedWidget::pick(QMouseEvent* event)
{
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool right = event->button() == Qt::RightButton;
    std::unique_ptr<PacketsEvent> picked;
    {
        AnnotatedLocker lock(contextMutex);
        ImgWidget::mousePressEvent(event);
        // What the press changes is noted first: out of memory before the
        // picked events are handed on, the histogram is put back as it was.
        const std::size_t count = serie ? serie->items.items.size() : 0;
        std::vector<char> wasSelected(count, 0);
        for (std::size_t i = 0; i < count; ++i)
            wasSelected[i] = serie->items.items[i]->selected;
        struct Undo
        {
            ScentedWidget* histogram;
            std::vector<char>& selected;
            TList<BinItem*> bins;
            QSet<QSharedPointer<Packet>> packets;
            bool done = false;
            ~Undo()
            {
                if (done)
                    return;
                for (std::size_t i = 0; i < selected.size(); ++i)
                    histogram->serie->items.items[i]->selected = selected[i] != 0;
                std::swap(histogram->pickedBins.items, bins.items);
                histogram->pickedPackets.swap(packets);
            }
        } undo{this, wasSelected, pickedBins, pickedPackets};

        const int px = IAxis::clampToInt(pressX);
        const int py = IAxis::clampToInt(pressY);
        if (!ctrl) {
            for (int i = pickedBins.size() - 1; i >= 0; --i) {
                BinItem* bin = pickedBins.items[std::size_t(i)];
                if (!bin->contains(px, py)) {
                    bin->selected = false;
                    pickedBins.items.erase(pickedBins.items.begin() + i);
                }
            }
        }
        BinItem* added = nullptr;
        BinItem* removed = nullptr;
        if (serie && !right) {
            for (BinItem* bin : serie->items.items) {
                if (bin->auxFlag || !bin->contains(px, py))
                    continue;
                bin->selected = !bin->selected;
                if (bin->selected) {
                    if (!pickedBins.contains(bin))
                        pickedBins.append(bin);
                    added = bin;
                } else {
                    pickedBins.removeOne(bin);
                    removed = bin;
                }
                break;
            }
        }
        qDebug("updateselected packets");
        QSet<QSharedPointer<Packet>> next;
        if (!ctrl) {
            if (serie) {
                for (const BinItem* bin : serie->items.items) {
                    if (!bin->selected)
                        continue;
                    for (const QSharedPointer<Packet>& p : bin->packets.items)
                        next.insert(p);
                }
            }
        } else {
            next = pickedPackets;
            if (added) {
                for (const QSharedPointer<Packet>& p : added->packets.items)
                    next.insert(p);
            }
            if (removed) {
                for (const QSharedPointer<Packet>& p : removed->packets.items)
                    next.remove(p);
            }
        }
        pickedPackets.swap(next);
        if (!right)
            picked = pickedEventLocked();
        undo.done = true;
        highlightedPackets.clear();
    }
    if (picked && owner)
        QCoreApplication::sendEvent(owner, picked.get());
}

void ScentedWidget::mouseReleaseEvent(QMouseEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        ImgWidget::mouseReleaseEvent(event);
        renderOverlay();
    });
}

void ScentedWidget::leaveEvent(QEvent* event)
{
    LUMIVANE_GUI_THREAD_ONLY();
    HandlerGuard::run([&] {
        {
            AnnotatedLocker lock(contextMutex);
            ImgWidget::leaveEvent(event);
        }
        renderOverlay();
    });
}
