#pragma once

// A paint device that draws nothing and records what a painter asks of it:
// the texts with their fonts, and every shape with the pen and brush in
// force. Tests of the items use it where a pixel probe would depend on the
// platform's fonts.

#include <QFont>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainterPath>
#include <QPen>
#include <QBrush>
#include <QString>
#include <QTextItem>
#include <QVector>

struct RecordedText {
    QString text;
    QFont font;
    QPen pen;
};

struct RecordedShape {
    QString kind;  // "rect", "ellipse", "path", "polygon", "line"
    QRectF bounds;
    QPen pen;
    QBrush brush;
};

class RecordingEngine : public QPaintEngine
{
public:
    RecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}

    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState& state) override
    {
        if (state.state() & QPaintEngine::DirtyPen)
            pen = state.pen();
        if (state.state() & QPaintEngine::DirtyBrush)
            brush = state.brush();
        if (state.state() & QPaintEngine::DirtyTransform)
            transform = state.transform();
    }
    Type type() const override { return QPaintEngine::User; }

    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawImage(const QRectF&, const QImage&, const QRectF&, Qt::ImageConversionFlags) override {}
    void drawTextItem(const QPointF&, const QTextItem& item) override
    {
        texts.append({item.text(), item.font(), pen});
    }
    void drawRects(const QRectF* rects, int count) override
    {
        for (int i = 0; i < count; ++i)
            add("rect", rects[i]);
    }
    void drawRects(const QRect* rects, int count) override
    {
        for (int i = 0; i < count; ++i)
            add("rect", QRectF(rects[i]));
    }
    void drawEllipse(const QRectF& r) override { add("ellipse", r); }
    void drawEllipse(const QRect& r) override { add("ellipse", QRectF(r)); }
    void drawPath(const QPainterPath& path) override { add("path", path.boundingRect()); }
    void drawPolygon(const QPointF* points, int count, PolygonDrawMode) override
    {
        add("polygon", QPolygonF(QVector<QPointF>(points, points + count)).boundingRect());
    }
    void drawPolygon(const QPoint* points, int count, PolygonDrawMode) override
    {
        add("polygon", QPolygon(QVector<QPoint>(points, points + count)).boundingRect());
    }
    void drawLines(const QLineF* lines, int count) override
    {
        for (int i = 0; i < count; ++i)
            add("line", QRectF(lines[i].p1(), lines[i].p2()));
    }
    void drawLines(const QLine* lines, int count) override
    {
        for (int i = 0; i < count; ++i)
            add("line", QRectF(QLineF(lines[i]).p1(), QLineF(lines[i]).p2()));
    }

    QString allText() const
    {
        QString all;
        for (const RecordedText& t : texts)
            all += t.text;
        return all;
    }

    QVector<RecordedText> texts;
    QVector<RecordedShape> shapes;
    QPen pen;
    QBrush brush;
    QTransform transform;

private:
    void add(const QString& kind, const QRectF& r)
    {
        shapes.append({kind, transform.mapRect(r), pen, brush});
    }
};

class RecordingDevice : public QPaintDevice
{
public:
    RecordingDevice(int w = 200, int h = 200) : m_w(w), m_h(h) {}
    ~RecordingDevice() override = default;
    QPaintEngine* paintEngine() const override { return &engine; }

    mutable RecordingEngine engine;

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return m_w;
        case PdmHeight: return m_h;
        case PdmWidthMM: return m_w * 254 / 960;
        case PdmHeightMM: return m_h * 254 / 960;
        case PdmNumColors: return 0x7fffffff;
        case PdmDepth: return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY: return 96;
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(QPaintDevice::devicePixelRatioFScale());
        }
        return 0;
    }

private:
    int m_w;
    int m_h;
};
