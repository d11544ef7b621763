#include "views/charts/GanttWidget.h"

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/Constants.h"
#include "core/DisplayText.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "core/Saturate.h"
#include "core/TVariant.h"
#include "events/PacketsEvent.h"
#include "items/AxisPer.h"
#include "items/BinItem.h"
#include "items/BinSerie.h"
#include "model/Context.h"
#include "model/GlyphStore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <vector>

namespace {

const QColor BAR_FILL(177, 189, 197);
const QColor BAR_EDGE(53, 56, 57);
const QColor BAR_HOVER(255, 128, 0, 150);
const QColor BAR_SELECTED(0, 0, 255, 150);

double finiteOr0(double v)
{
    return std::isfinite(v) ? v : 0.0;
}

int truncated(double v)
{
    return saturatedInt(v);
}

} // namespace

GanttWidget::GanttWidget(ControlWidget* owner, QWidget* parent)
    : ImgWidget(owner, parent), timeAttribute(TIME_ATTRIBUTE)
{
    connect(hoverTimer, &QTimer::timeout, this, &GanttWidget::moveTimeOut);
}

GanttWidget::~GanttWidget()
{
    delete rows;
    delete axis;
}

bool GanttWidget::runGuarded(const char* action, void (*run)(void*), void* work)
{
    if (runs > 0) {
        run(work);
        return true;
    }
    bool ranOut = false;
    {
        struct Open
        {
            int& runs;
            explicit Open(int& runs) : runs(runs) { ++runs; }
            ~Open() { --runs; }
        } open(runs);
        try {
            run(work);
        } catch (const std::bad_alloc&) {
            ranOut = true;
        }
    }
    if (!ranOut)
        return true;
    dropBars();
    try {
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to draw the Gantt chart"),
                             QStringLiteral("The Gantt chart ran out of memory while ") + QLatin1String(action)
                                 + QStringLiteral(". It shows no traces until a selection or a resize draws it "
                                                  "again."),
                             window());
    } catch (const std::exception&) {
        // Not even the message found room; the chart is empty all the same.
    }
    return false;
}

void GanttWidget::dropBars() noexcept
{
    hoveredBars.clear();
    selectedBars.clear();
    delete rows;
    rows = nullptr;
    lanes.clear();
    selection.clear();
    barsDropped = true;
    try {
        clearImages();
        update();
    } catch (const std::bad_alloc&) {
        // An image shared with a copy finds no room to be cleared: it shows
        // what it showed until the next render.
    }
}

GlyphStore* GanttWidget::store() const
{
    // The records' columns are those of the store that built the context.
    if (context && context->store)
        return context->store;
    return glyphStore;
}

void GanttWidget::setData(Context* c, bool clearSelection, bool resize)
{
    guarded("building its bars", [this, c, clearSelection, resize] {
        context = c;
        // A context of its own that the chart no longer shows goes.
        if (ownContext && ownContext.get() != c)
            ownContext.reset();
        mouseX = -1.0;
        mouseY = -1.0;
        if (clearSelection)
            selection.clear();
        for (BinItem* bar : hoveredBars.items)
            bar->highlighted = false;
        hoveredBars.clear();
        if (!context)
            qDebug() << "no selection ;(";
        rebuild();
        if (resize)
            setSize(-1, -1);
    });
}

bool GanttWidget::showSelection(const TList<QSharedPointer<Packet>>& events, GlyphStore* s)
{
    return guarded("taking the selection's traces", [this, &events, s] {
        // The new context first: out of memory, the chart keeps its own.
        std::unique_ptr<Context> made(new Context(nullptr, QStringLiteral("temp"), events, s, true));
        // The chart moves to the new context before the one it had goes.
        made.swap(ownContext);
        setData(ownContext.get(), true, true);
    });
}

double GanttWidget::binStep(double span)
{
    const double x = span * 1000.0 / 40.0;
    if (!(x > 1) || !std::isfinite(x))
        return 1.0;
    const double p = std::pow(10.0, std::ceil(std::log10(x) - 1));
    const double m = std::ceil(x / p);
    const double s = p * m / 1000.0;
    return s > 1 ? std::ceil(s) : 1.0;
}

void GanttWidget::rebuild()
{
    // The new bars and axis are made aside: out of memory, the chart keeps
    // what it had.
    std::unique_ptr<BinSerie> built(new BinSerie(nullptr));
    std::unique_ptr<AxisPer> builtAxis;
    TList<BinItem*> picked;
    GlyphStore* s = store();
    if (context && s) {
        const int idColumn = s->conversationAttributeColumns.value(CONV_CONVID, -1);
        double start = finiteOr0(s->minValue(timeAttribute, context));
        double end = finiteOr0(s->maxValue(timeAttribute, context));
        if (timeAttribute == TIME_ATTRIBUTE && end - start > 60) {
            // Whole minutes around the data, so that every bar lies on the axis.
            start = std::floor(start / 60) * 60;
            end = std::ceil(end / 60) * 60;
        }
        const double step = binStep(end - start);
        builtAxis.reset(new AxisPer(TIME_ATTRIBUTE, -1, start, end, start, end, step, false, true));

        built->items.items.reserve(context->conversationPackets.items.size());
        for (const QSharedPointer<Packet>& record : context->conversationPackets.items) {
            const TVariant& id = record->get(idColumn);
            // Owned by the new series from its making on (the room is there).
            BinItem* bar = new BinItem(built.get(), this);
            built->items.append(bar);
            bar->name = QStringLiteral("Conversation ") + DisplayText::of(id);
            bar->auxDouble = id.toInt();
            bar->packets.append(record);
            // A kept selection shows on the new bars.
            if (selection.contains(record)) {
                bar->selected = true;
                picked.append(bar);
            }
        }
    }

    hoveredBars.clear();
    selectedBars.items.swap(picked.items);
    lanes.clear();
    delete rows;
    rows = built.release();
    if (builtAxis) {
        delete axis;
        axis = builtAxis.release();
    }
    barsDropped = false;
}

QHash<const Packet*, int> GanttWidget::assignLanes(const TList<QSharedPointer<Packet>>& records,
                                                   int fromColumn, int toColumn)
{
    std::map<double, std::vector<int>> byDuration;
    const int n = records.size();
    std::vector<double> from(std::size_t(n), 0.0);
    std::vector<double> to(std::size_t(n), 0.0);
    for (int i = 0; i < n; ++i) {
        const Packet& r = *records.items[std::size_t(i)];
        from[std::size_t(i)] = finiteOr0(r.get(fromColumn).toDouble());
        to[std::size_t(i)] = finiteOr0(r.get(toColumn).toDouble());
        byDuration[to[std::size_t(i)] - from[std::size_t(i)]].push_back(i);
    }
    // The lanes' first intervals [a, b]; with the running maximum of a and
    // minimum of b over the lanes so far, the first lane that does not
    // contain [s, e] (a > s or b < e) is found by two binary searches.
    std::vector<double> maxA;
    std::vector<double> minB;
    QHash<const Packet*, int> result;
    result.reserve(n);
    for (auto it = byDuration.rbegin(); it != byDuration.rend(); ++it) {
        for (int i : it->second) {
            const double s = from[std::size_t(i)];
            const double e = to[std::size_t(i)];
            const auto byA = std::upper_bound(maxA.begin(), maxA.end(), s);
            const auto byB = std::upper_bound(minB.begin(), minB.end(), e,
                                              [](double v, double b) { return b < v; });
            int lane = int(std::min(byA - maxA.begin(), byB - minB.begin()));
            if (lane == int(maxA.size())) {
                const double a = double(saturatedInt64(s));
                const double b = double(saturatedInt64(e));
                maxA.push_back(maxA.empty() ? a : std::max(maxA.back(), a));
                minB.push_back(minB.empty() ? b : std::min(minB.back(), b));
            }
            result.insert(records.items[std::size_t(i)].data(), lane);
        }
    }
    return result;
}

void GanttWidget::setSize(int w, int h)
{
    guarded("laying out its bars", [this, w, h] {
        ImgWidget::setSize(w, h);
        // Bars that a failure dropped are built again.
        if (barsDropped)
            rebuild();
        if (!axis)
            return;
        const int W = w == -1 ? width() : w;
        const int H = h == -1 ? height() : h;
        axis->x = margin;
        axis->y = H - margin;
        const int L = truncated(W - 5 - 2 * margin);
        if (L > 0)
            axis->setSize(L, margin);
        if (axis->width > 0) {
            layout();
            render(true, true, nullptr);
        }
    });
}

void GanttWidget::layout()
{
    GlyphStore* s = store();
    if (!context || !s || !axis || !rows)
        return;
    const int fromColumn = s->conversationAttributeColumns.value(CONV_FROM_EPOCH, -1);
    const int toColumn = s->conversationAttributeColumns.value(CONV_TO_EPOCH, -1);
    QHash<const Packet*, int> assigned = assignLanes(context->conversationPackets, fromColumn, toColumn);
    lanes.swap(assigned);

    int n = 1;
    for (auto it = lanes.constBegin(); it != lanes.constEnd(); ++it)
        n = std::max(n, it.value());
    const int rowHeight =
        truncated(std::min(30.0, std::max(3.0, (axis->y - margin - 2.0 * n) / n)));

    for (BinItem* bar : rows->items) {
        const QSharedPointer<Packet>& record = bar->packets.first();
        const TVariant& from = record->get(fromColumn);
        const TVariant& to = record->get(toColumn);
        const double sv = from.toDouble();
        const double ev = to.toDouble();
        const int ps = truncated(axis->position(from));
        double w;
        if (sv != ev)
            w = truncated(axis->position(to)) - ps;
        else if (sv == axis->min && ev == axis->max)
            w = axis->width;
        else
            w = 3.0;
        const int lane = lanes.value(record.data(), 0);
        bar->setWidth(w);
        bar->setHeight(rowHeight);
        bar->setX(axis->x + ps);
        bar->setY((axis->y - 2) - (lane + 1) * (rowHeight + 2));
    }
    std::stable_sort(rows->items.begin(), rows->items.end(),
                     [](const BinItem* a, const BinItem* b) { return a->width() < b->width(); });
}

bool GanttWidget::render(bool overlayToo, bool updateToo, QImage* target)
{
    bool drawn = false;
    guarded("drawing its bars", [&] { drawn = draw(overlayToo, updateToo, target); });
    return drawn;
}

bool GanttWidget::draw(bool overlayToo, bool updateToo, QImage* target)
{
    QImage* img = target ? target : &image;
    RenderGuard guard(this, img, overlayToo, updateToo);
    if (!guard)
        return false;
    img->fill(background);
    QPainter painter(img);
    if (axis) {
        QPen pen;
        QBrush brush;
        axis->paint(&painter, brush, pen);
    }
    if (rows) {
        painter.setBrush(QBrush(BAR_FILL));
        QPen plain(BAR_EDGE, 1);
        QPen hovered(BAR_HOVER, 2);
        QPen picked(BAR_SELECTED, 2);
        const QPen* current = nullptr;
        const QRect visible = img->rect().adjusted(-2, -2, 2, 2);
        for (int i = rows->items.size() - 1; i >= 0; --i) {
            const BinItem* bar = rows->items[std::size_t(i)];
            const QRect box(truncated(bar->left()), truncated(bar->top()), truncated(bar->width()),
                            truncated(bar->height()));
            if (!visible.intersects(box.adjusted(-1, -1, 1, 1)))
                continue;
            const QPen* pen = bar->highlighted ? &hovered : bar->selected ? &picked : &plain;
            if (pen == &plain && box.width() >= 0 && box.height() >= 0
                && box.width() + box.height() > 0) {
                // The same pixels as the outlined rectangle, without the
                // stroker: the edge colour under the fill.
                painter.fillRect(QRect(box.x(), box.y(), box.width() + 1, box.height() + 1),
                                 BAR_EDGE);
                if (box.width() > 1 && box.height() > 1)
                    painter.fillRect(QRect(box.x() + 1, box.y() + 1, box.width() - 1,
                                           box.height() - 1),
                                     BAR_FILL);
                continue;
            }
            if (pen != current) {
                painter.setPen(*pen);
                current = pen;
            }
            painter.drawRect(box);
        }
    }
    painter.end();
    guard.release();
    if (overlayToo)
        renderOverlay();
    if (updateToo)
        update();
    return true;
}

bool GanttWidget::renderOverlay()
{
    RenderGuard guard(this);
    if (!guard)
        return false;
    overlay.fill(Qt::transparent);
    guard.release();
    update();
    return true;
}

QRectF GanttWidget::dataRect()
{
    return QRectF(0, 0, width(), height());
}

QSize GanttWidget::sizeHint() const
{
    return QSize(400, 400);
}

void GanttWidget::resizeEvent(QResizeEvent* e)
{
    // The layout has its own message; the rest ends here too.
    HandlerGuard::run([&] {
        QWidget::resizeEvent(e);
        setSize(e->size().width(), e->size().height());
    });
}

BinItem* GanttWidget::barAt(int x, int y) const
{
    if (!rows)
        return nullptr;
    for (BinItem* bar : rows->items)
        if (bar->contains(x, y))
            return bar;
    return nullptr;
}

void GanttWidget::mouseMoveEvent(QMouseEvent* e)
{
    guarded("showing the trace under the pointer", [this, e] { hover(e); });
}

void GanttWidget::hover(QMouseEvent* e)
{
    ImgWidget::mouseMoveEvent(e);
    for (BinItem* bar : hoveredBars.items)
        bar->highlighted = false;
    hoveredBars.clear();
    GlyphStore* s = store();
    // Looked up without adding the name to the store.
    const int lengthColumn = s ? s->conversationAttributeColumns.value(CONV_LENGTH, 0) : 0;
    QToolTip::hideText();
    BinItem* bar = barAt(truncated(mouseX), truncated(mouseY));
    if (bar) {
        bar->highlighted = true;
        const QSharedPointer<Packet>& record = bar->packets.first();
        QToolTip::showText(mapToGlobal(e->pos()), QStringLiteral("value: ") + bar->name
                               + QStringLiteral("\n #Events: ")
                               + DisplayText::of(record->get(lengthColumn)));
        hoveredBars.append(bar);
    }
    hoverTimer->start(HOVER_INTERVAL);
    render(true, true, nullptr);
}

void GanttWidget::mousePressEvent(QMouseEvent* e)
{
    guarded("selecting traces", [this, e] { press(e); });
}

void GanttWidget::press(QMouseEvent* e)
{
    ImgWidget::mousePressEvent(e);
    const bool additive = e->modifiers() & Qt::ControlModifier;
    bool changed = false;
    if (!additive) {
        changed = selectedBars.isEmpty();
        const int mx = truncated(mouseX);
        const int my = truncated(mouseY);
        const TList<BinItem*> before = selectedBars;
        for (BinItem* bar : before.items) {
            if (!bar->contains(mx, my)) {
                bar->selected = false;
                selectedBars.removeOne(bar);
                changed = true;
            }
        }
    } else {
        changed = true;
    }

    BinItem* hit = e->button() == Qt::RightButton
        ? nullptr
        : barAt(truncated(pressX), truncated(pressY));
    TList<BinItem*> added;
    TList<BinItem*> removed;
    if (hit) {
        hit->selected = !hit->selected;
        if (hit->selected) {
            selectedBars.append(hit);
            added.append(hit);
        } else {
            selectedBars.removeOne(hit);
            removed.append(hit);
        }
        updateSelection(added, removed, additive);
        renderOverlay();
    } else {
        updateSelection(added, removed, additive);
        if (changed)
            renderOverlay();
    }
}

void GanttWidget::updateSelection(const TList<BinItem*>& added, const TList<BinItem*>& removed,
                                  bool additive)
{
    if (!additive) {
        selection.clear();
        if (rows)
            for (const BinItem* bar : rows->items)
                if (bar->selected)
                    selection.insert(bar->packets.first(), true);
    } else {
        for (const BinItem* bar : added.items)
            selection.insert(bar->packets.first(), true);
        for (const BinItem* bar : removed.items)
            selection.remove(bar->packets.first());
    }

    // The events of the selected conversations, bars in row order.
    TList<QSharedPointer<Packet>> events;
    if (context && rows) {
        for (const BinItem* bar : rows->items) {
            if (!selection.contains(bar->packets.first()))
                continue;
            const auto it = context->conversations.constFind(int(bar->auxDouble));
            if (it != context->conversations.constEnd())
                events.append(it.value());
        }
    }
    if (!owner)
        return;
    PacketsEvent event(this, events, {QVariant(QStringLiteral("select"))});
    QCoreApplication::sendEvent(owner, &event);
}

void GanttWidget::moveTimeOut()
{
    HandlerGuard::run([&] { hoverTimer->stop(); });
}
