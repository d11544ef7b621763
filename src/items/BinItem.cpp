#include "items/BinItem.h"

#include <QFontMetricsF>
#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QStaticText>
#include <QTextOption>
#include <QWidget>

#include <cmath>
#include <unordered_map>
#include <vector>

#include "core/Constants.h"

bool showMulti = true;
double matrixItemSize = 40.0;

namespace {

// Items larger than this (both ways) stack with a smaller step.
constexpr double MARGIN_WIDTH_THRESHOLD = 30.0;
constexpr double MARGIN_HEIGHT_THRESHOLD = 30.0;
// Items this small or smaller (either way) get no label.
constexpr double LABEL_WIDTH_THRESHOLD = 15.0;
constexpr double LABEL_HEIGHT_THRESHOLD = 10.0;
// The label font grows from the default size up to this point size at most,
// so that a paint device without usable font metrics cannot loop forever.
constexpr int MAX_LABEL_POINT_SIZE = 200;

int toInt(double v) { return static_cast<int>(v); }

// A label's font size needs a font-metrics query per step and every text a
// text layout; a view repeats the same few labels at the same size, so both
// are kept per thread (the overview worker paints on its own thread).
struct TextKey {
    QString text;
    QString font;
    double w;
    double h;
    int dpiX;
    int dpiY;
    bool operator==(const TextKey& o) const
    {
        return w == o.w && h == o.h && dpiX == o.dpiX && dpiY == o.dpiY && text == o.text
               && font == o.font;
    }
};

struct TextKeyHash {
    std::size_t operator()(const TextKey& k) const
    {
        return qHash(k.text) ^ (qHash(k.font) * 7u) ^ (qHash(k.w) * 31u) ^ (qHash(k.h) * 131u)
               ^ (uint(k.dpiX) << 8) ^ (uint(k.dpiY) << 16);
    }
};

constexpr std::size_t TEXT_CACHE_LIMIT = 4096;

int labelPointSize(const QString& label, double w, double h, QPaintDevice* device)
{
    thread_local std::unordered_map<TextKey, int, TextKeyHash> cache;
    const int dpiX = device ? device->logicalDpiX() : 0;
    const int dpiY = device ? device->logicalDpiY() : 0;
    TextKey key{label, QString(), w, h, dpiX, dpiY};
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;

    QFont font;
    int size = font.pointSize();
    for (;;) {
        QFontMetricsF metrics = device ? QFontMetricsF(font, device) : QFontMetricsF(font);
        if (!(metrics.horizontalAdvance(label) < 0.8 * w && metrics.height() < 0.8 * h))
            break;
        if (size >= MAX_LABEL_POINT_SIZE)
            break;
        ++size;
        font.setPointSize(size);
    }
    if (cache.size() > TEXT_CACHE_LIMIT)
        cache.clear();
    cache.emplace(std::move(key), size);
    return size;
}

// Draws plain text centred in `box`, as drawText with Qt::AlignCenter (and
// Qt::TextWrapAnywhere when `wrap`) does. A text that fits on one line, the
// usual case for labels and badges, goes through a prepared static text.
void drawCentredText(QPainter* painter, const QRectF& box, const QString& text, bool wrap)
{
    struct Prepared {
        QStaticText text;
        QSizeF size;
    };
    thread_local std::unordered_map<TextKey, Prepared, TextKeyHash> cache;
    QPaintDevice* device = painter->device();
    const int dpiX = device ? device->logicalDpiX() : 0;
    const int dpiY = device ? device->logicalDpiY() : 0;
    TextKey key{text, painter->font().key(), 0.0, 0.0, dpiX, dpiY};
    auto found = cache.find(key);
    if (found == cache.end()) {
        Prepared prepared;
        prepared.text.setText(text);
        prepared.text.setTextFormat(Qt::PlainText);
        QTextOption option(Qt::AlignLeft);
        option.setWrapMode(QTextOption::NoWrap);
        prepared.text.setTextOption(option);
        prepared.text.prepare(QTransform(), painter->font());
        prepared.size = prepared.text.size();
        if (cache.size() > TEXT_CACHE_LIMIT)
            cache.clear();
        found = cache.emplace(std::move(key), std::move(prepared)).first;
    }
    const QSizeF size = found->second.size;
    if (size.width() > box.width() || text.contains(QLatin1Char('\n'))) {
        painter->drawText(box, Qt::AlignCenter | (wrap ? Qt::TextWrapAnywhere : 0), text);
        return;
    }
    painter->drawStaticText(QPointF(box.left() + 0.5 * (box.width() - size.width()),
                                    box.top() + 0.5 * (box.height() - size.height())),
                            found->second.text);
}

} // namespace

BinItem::BinItem(void* data, QWidget* owner)
    : GraphicsItem(QPointF(0, 0), 5, 5), owner(owner), data(data), edgeColor(Qt::black),
      fillColor(DEFAULT_FILL_COLOR), thirdColor(Qt::black)
{
}

BinItem::~BinItem() = default;

int BinItem::centringOffset() const
{
    return centred ? toInt(0.5 * storedWidth) : 0;
}

double BinItem::left() const { return x - centringOffset(); }
double BinItem::right() const { return x + storedWidth - centringOffset(); }
double BinItem::top() const { return y; }
double BinItem::bottom() const { return y + height(); }
double BinItem::centerY() const { return y + 0.5 * height(); }
double BinItem::centerX() const { return x + 0.5 * width(); }
double BinItem::width() const { return storedWidth * sizeFactor; }
double BinItem::height() const { return storedHeight * sizeFactor; }

double BinItem::parentLeft() const
{
    const double ownerX = owner ? owner->pos().x() : 0.0;
    return ownerX + left() - centringOffset();
}

double BinItem::parentRight() const
{
    const double ownerX = owner ? owner->pos().x() : 0.0;
    return ownerX + right() - centringOffset();
}

double BinItem::parentTop() const
{
    const double ownerY = owner ? owner->pos().y() : 0.0;
    return ownerY + top();
}

double BinItem::parentBottom() const
{
    const double ownerY = owner ? owner->pos().y() : 0.0;
    return ownerY + bottom();
}

QString BinItem::shapeName(int shape)
{
    switch (shape) {
    case SQUARE: return QStringLiteral("Square");
    case CIRCLE: return QStringLiteral("Circle");
    case TRIANGLE: return QStringLiteral("Triangle");
    case PENTAGON: return QStringLiteral("Pentagon");
    case DIAMOND: return QStringLiteral("Diamond");
    default: return QStringLiteral("unknown");
    }
}

int BinItem::shapeFromName(const QString& name)
{
    for (int shape : {SQUARE, CIRCLE, TRIANGLE, PENTAGON, DIAMOND}) {
        if (name == shapeName(shape))
            return shape;
    }
    return -1;
}

TList<BinItem> BinItem::flatten() const
{
    // Breadth first over the original items; the copies lose their children.
    std::vector<const BinItem*> queue{this};
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const TList<BinItem>& kids = queue[i]->children;
        for (int k = 0; k < kids.size(); ++k)
            queue.push_back(&kids[k]);
    }
    TList<BinItem> result;
    result.items.reserve(queue.size());
    for (const BinItem* item : queue) {
        BinItem copy(*item);
        copy.children.clear();
        result.items.push_back(copy);
    }
    return result;
}

QPainterPath BinItem::polygonPath(double rx, double ry, int n)
{
    QPainterPath path;
    if (n <= 0) {
        path.closeSubpath();
        return path;
    }
    for (int i = 0; i < n; ++i) {
        const double theta = qDegreesToRadians(i * 360.0 / n);
        const QPointF corner(rx + rx * std::sin(theta), ry - ry * std::cos(theta));
        if (i == 0)
            path.moveTo(corner);
        else
            path.lineTo(corner);
    }
    path.closeSubpath();
    return path;
}

void BinItem::paint(QPainter* painter, QPen& pen, QBrush& brush)
{
    const double sw = width();
    const double sh = height();
    const double m = (storedWidth > MARGIN_WIDTH_THRESHOLD && storedHeight > MARGIN_HEIGHT_THRESHOLD)
                         ? 0.1 : 0.2;

    if (children.isEmpty() || !showMulti) {
        paintGlyph(toInt(x), toInt(y), sw, sh, painter, pen, brush, false, false);
        return;
    }
    if (sw <= 10.0) {
        // Too small to show a stack: an outlined glyph says there is more.
        paintGlyph(toInt(x), toInt(y), sw, sh, painter, pen, brush, true, false);
        return;
    }

    const double dx = m * sw;
    const double dy = m * sh;
    const double scale = children.size() == 1 ? (1.0 - m) : (1.0 - m) * (1.0 - m);
    const double lw = sw * scale;
    const double lh = sh * scale;
    int ox = 0;
    int oy = 0;
    auto step = [&]() {
        ox = toInt(ox + dx);
        oy = toInt(oy + dy);
    };

    if (children.size() >= 3) {
        BinItem card(nullptr, nullptr);
        card.shape = SQUARE;
        card.fillColor = Qt::white;
        card.edgeColor = EDGE_COLOR;
        card.edgeWidth = 1;
        card.edgeStyle = 1;
        card.paintGlyph(toInt(x + ox), toInt(y + oy), lw, lh, painter, pen, brush, false, false);
        step();
    } else if (children.size() == 2) {
        children[1].paintGlyph(toInt(x + ox), toInt(y + oy), lw, lh, painter, pen, brush, false, true);
        step();
    }
    children[0].paintGlyph(toInt(x + ox), toInt(y + oy), lw, lh, painter, pen, brush, false, true);
    step();

    if (mode == EMPTY || mode == NONE) {
        const int small = toInt(0.5 * defaultGlyphSize);
        paintGlyph(toInt(x + storedWidth - small), toInt(y + storedHeight - small), small, small,
                   painter, pen, brush, false, false);
    } else {
        paintGlyph(toInt(x + ox), toInt(y + oy), lw, lh, painter, pen, brush, false, false);
    }
}

void BinItem::paintGlyph(int px, int py, double w, double h, QPainter* painter, QPen& pen,
                         QBrush& brush, bool outline, bool faded)
{
    painter->save();
    if (centred)
        px -= toInt(0.5 * w);
    painter->translate(px, py);

    QColor fill = fillColor;
    QColor edge = edgeColor;
    const int alpha = faded ? 200 : 255;
    int penWidth = edgeWidth;

    if (outline) {
        // The wider outline is for this drawing only: painting never changes
        // the item's stored edge width.
        penWidth = 2;
        edge = TEXT_COLOR;
    }

    if (mode == DELETE) {
        pen = QPen(TEXT_COLOR, 2);
        painter->setPen(pen);
        painter->drawRect(QRectF(1, 1, w - 2, h - 2));
        pen = QPen(Qt::red, 4);
        painter->setPen(pen);
        painter->drawLine(0, 0, toInt(w), toInt(h));
        painter->drawLine(0, toInt(h), toInt(w), 0);
        painter->restore();
        return;
    }

    if (mode == NONE) {
        const bool anyHint = painter->renderHints() != QPainter::RenderHints();
        pen = QPen(Qt::red);
        painter->setRenderHint(QPainter::Antialiasing, true);
        pen.setWidth(2);
        painter->setPen(pen);
        painter->drawEllipse(QRect(toInt(0.25 * w), toInt(0.25 * h), toInt(0.5 * w), toInt(0.5 * h)));
        painter->drawLine(toInt(0.25 * w), toInt(0.75 * h), toInt(0.75 * w), toInt(0.25 * h));
        painter->setRenderHint(QPainter::Antialiasing, anyHint);
        painter->restore();
        return;
    }

    if (mode == ARROW) {
        const double W = storedWidth;
        const double H = storedHeight;
        QColor arrowColor = TEXT_COLOR;
        arrowColor.setAlpha(alpha);
        pen = QPen(arrowColor, 2, Qt::SolidLine);
        painter->setPen(pen);
        painter->drawLine(QPointF(0, H / 2), QPointF(0.7 * W, H / 2));
        painter->translate(0.75 * W, H / 2);
        const int a = toInt(0.25 * W) / 2;
        const int b = toInt(0.5 * H) / 2;
        QPainterPath head;
        head.moveTo(-a, 0);
        head.lineTo(-a, -b);
        head.lineTo(a, 0);
        head.lineTo(-a, b);
        head.closeSubpath();
        painter->fillPath(head, QBrush(TEXT_COLOR, Qt::SolidPattern));
        painter->restore();
        return;
    }

    // The shape.
    if (penWidth == 0) {
        pen = QPen(Qt::NoPen);
    } else {
        QColor penColor = edge;
        penColor.setAlpha(alpha);
        pen = QPen(penColor, penWidth, edgeStyle == 1 ? Qt::DashLine : Qt::SolidLine);
    }
    painter->setPen(pen);
    // The alpha below fades stacked children; it must not give a colour to
    // a fill that has none. An empty placeholder's transparent fill reaches
    // plain items too (the sequence view and the rule overview take a
    // cell's fill colour for theirs), and forced opaque it would be black.
    if (mode == EMPTY || mode == EMPTYSMALL || fill.alpha() == 0) {
        brush = QBrush(Qt::NoBrush);
    } else {
        QColor brushColor = fill;
        brushColor.setAlpha(alpha);
        brush = QBrush(brushColor.darker(110), Qt::SolidPattern);
    }
    painter->setBrush(brush);

    const bool knownShape = shape >= SQUARE && shape <= DIAMOND;
    switch (shape) {
    case SQUARE:
        painter->drawRect(QRectF(0, 0, w, h));
        break;
    case CIRCLE:
        painter->drawEllipse(QRectF(0, 0, w, h));
        break;
    case TRIANGLE: {
        QPainterPath path;
        path.moveTo(w / 2, 0);
        path.lineTo(w, h);
        path.lineTo(0, h);
        path.closeSubpath();
        painter->drawPath(path);
        break;
    }
    case PENTAGON:
        painter->drawPath(polygonPath(w / 2, h / 2, 5));
        break;
    case DIAMOND:
        painter->drawPath(polygonPath(w / 2, h / 2, 4));
        break;
    default:
        break;
    }

    if (knownShape && (highlighted || selected)) {
        auto drawOutline = [&]() {
            switch (shape) {
            case SQUARE:
                painter->drawRect(QRectF(-0.5, -0.5, w + 1, h + 1));
                break;
            case CIRCLE:
                painter->drawEllipse(QRectF(-0.5, -0.5, w + 1, h + 1));
                break;
            case TRIANGLE: {
                QPainterPath path;
                path.moveTo(w / 2 + 0.5, 0);
                path.lineTo(w + 0.5, h);
                path.lineTo(-0.5, h);
                path.closeSubpath();
                painter->drawPath(path);
                break;
            }
            case PENTAGON:
                painter->drawPath(polygonPath(w / 2 + 0.5, h / 2 + 0.5, 5));
                break;
            case DIAMOND:
                painter->drawPath(polygonPath(w / 2 + 0.5, h / 2 + 0.5, 4));
                break;
            }
        };
        const bool partial = selectedCount != totalCount;
        brush = QBrush(Qt::NoBrush);
        painter->setBrush(brush);
        QColor first = selected ? SELECTION_COLOR : HOVER_COLOR;
        first.setAlpha(alpha);
        const bool firstDashed = shape == SQUARE && selected && partial;
        pen = QPen(first, 2, firstDashed ? Qt::DashLine : Qt::SolidLine);
        painter->setPen(pen);
        drawOutline();
        if (highlighted && selected) {
            const bool secondDashed = shape != SQUARE && partial;
            pen = QPen(HOVER_COLOR, 4, secondDashed ? Qt::DashLine : Qt::SolidLine);
            painter->setPen(pen);
            drawOutline();
        }
    }

    if (showLabel) {
        paintLabel(painter, w, h);
        paintBadge(painter, w, h, faded);
    }
    painter->restore();
}

void BinItem::paintLabel(QPainter* painter, double w, double h)
{
    if (label.isEmpty() || label == QLatin1String("Gray") || storedWidth <= LABEL_WIDTH_THRESHOLD
        || storedHeight <= LABEL_HEIGHT_THRESHOLD)
        return;
    const double luminance =
        0.213 * fillColor.redF() + 0.715 * fillColor.greenF() + 0.072 * fillColor.blueF();
    // Without any fill the label stands on the view's white ground, whatever
    // the colour's (black) components say.
    const bool darkGround = fillColor.alpha() > 0 && luminance <= 0.5;
    painter->setPen(QPen(darkGround ? Qt::white : Qt::black));
    QFont font;
    font.setPointSize(labelPointSize(label, w, h, painter->device()));
    painter->setFont(font);
    drawCentredText(painter, QRectF(0, 0, w, h), label, true);
    painter->setFont(QFont());
}

void BinItem::paintBadge(QPainter* painter, double w, double h, bool faded)
{
    if (!condition && (faded || detail.isEmpty()))
        return;
    const double s = 0.25 * h;
    painter->setPen(Qt::NoPen);
    painter->setBrush(QBrush(Qt::red, Qt::SolidPattern));
    painter->drawEllipse(QRectF(0.6 * w - 0.5 * s, -s, 2 * s, 2 * s));

    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(Qt::white));
    QFont font(APPLICATION_FONT);
    const int pixelSize = std::max(toInt(0.7 * s + 8), 15);
    font.setPixelSize(pixelSize);
    font.setWeight(pixelSize <= 16 ? 75 : 50);
    painter->setFont(font);
    if (showDetail && (condition || s > 8.0)) {
        drawCentredText(painter, QRectF(0.6 * w, -0.5 * s - 2, s + 2, s + 2),
                        condition ? QStringLiteral("!") : detail, false);
    }
}

QIcon BinItem::icon(double w, double h)
{
    // An empty picture has no paint engine to draw with.
    if (toInt(w) <= 0 || toInt(h) <= 0)
        return QIcon();
    QPixmap pixmap(toInt(w), toInt(h));
    const double oldX = x;
    const double oldY = y;
    const double oldWidth = storedWidth;
    const double oldHeight = storedHeight;
    x = 0;
    y = 0;
    storedWidth = w;
    storedHeight = h;
    {
        QPainter painter(&pixmap);
        painter.fillRect(QRectF(0, 0, w, h), Qt::white);
        QPen pen;
        QBrush brush;
        paint(&painter, pen, brush);
        painter.end();
    }
    QIcon result(pixmap);
    x = oldX;
    y = oldY;
    storedWidth = oldWidth;
    storedHeight = oldHeight;
    return result;
}
