#pragma once

#include "items/IWidget.h"

#include <QImage>
#include <QWidget>

class QMutex;
class QTimer;

// Interval of the hover timer, restarted on every mouse move.
inline constexpr int HOVER_INTERVAL = 300;
// Delay before a render that found the images busy is tried again.
inline constexpr int RENDER_RETRY_INTERVAL = 10;

// Base of every view that draws into off-screen images. The view renders its
// content into `image` and its marks into `overlay` under `imageMutex`;
// paintEvent only blits the two images, so a repaint never renders.
//
// Render protocol for render() and renderOverlay() of a derived view:
//
//     bool View::render(bool overlay, bool update, QImage* target)
//     {
//         QImage* img = target ? target : &image;
//         RenderGuard guard(this, img, overlay, update);
//         if (!guard)
//             return false;            // busy: frame skipped, retry scheduled
//         img->fill(background);
//         QPainter painter(img);
//         ...
//         painter.end();
//         guard.release();
//         if (overlay) renderOverlay();
//         if (update) this->update();
//         return true;
//     }
//
// The lock is taken with a 1 ms tryLock so that a render never blocks the
// GUI thread. A skipped frame is not lost: one retry of
// render(overlay, update, nullptr) (or renderOverlay() for the overlay) is
// scheduled, so the view does not stay stale when no later event comes.
class ImgWidget : public QWidget, public IWidget
{
    Q_OBJECT

public:
    ImgWidget(ControlWidget* owner, QWidget* parent);
    ~ImgWidget() override;

    void reset() override;
    // Redraws `overlay`; false when the frame was skipped.
    virtual bool renderOverlay() = 0;
    // Draws into target, or into `image` when target is null; returns false
    // when the frame was skipped.
    virtual bool render(bool overlay, bool update, QImage* target) = 0;
    virtual void clearImages();
    virtual void resizeWidget(int w, int h);
    // -1 keeps the widget's current width or height; other values are at
    // least 1. Both images get that size (an image of that size already
    // is kept) and are cleared.
    void setSize(int w, int h) override;

    // The whole widget; views with margins override it.
    QRectF dataRect() override;
    QSize sizeHint() const override;

    void keyPressEvent(QKeyEvent* e) override;
    // Paints drawImages() under the paint's guard.
    void paintEvent(QPaintEvent* e) override;
    // The content image, then the overlay: the paint's body, unguarded, for
    // a view whose own paint guards more around it.
    void drawImages();
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void enterEvent(QEvent* e) override;
    void leaveEvent(QEvent* e) override;

    // Holds imageMutex for one render; false when the frame must be skipped.
    class RenderGuard
    {
    public:
        // Content render into img (normally &image).
        RenderGuard(ImgWidget* widget, QImage* img, bool overlay, bool update);
        // Overlay render.
        explicit RenderGuard(ImgWidget* widget);
        ~RenderGuard() { release(); }
        RenderGuard(const RenderGuard&) = delete;
        RenderGuard& operator=(const RenderGuard&) = delete;
        explicit operator bool() const { return locked; }
        void release();

    private:
        ImgWidget* widget;
        bool locked;
    };

    // The protocol without the guard: beginRender takes imageMutex for
    // painting into img, or schedules a retry and returns false; a successful
    // call must be paired with endRender on every path.
    bool beginRender(QImage* img, bool overlay, bool update);
    bool beginRenderOverlay();
    void endRender();
    // One later try of render(overlay, update, nullptr) (content) or
    // renderOverlay() (overlay only), for a frame skipped for a lock other
    // than imageMutex.
    void scheduleRetry(bool content, bool overlay, bool update);

    QTimer* timer;
    QTimer* hoverTimer;
    QImage image;
    QImage overlay;
    QMutex* imageMutex;
    QWidget* parentWidget;

private:
    bool tryLockFor(QImage* img);
    void retryRender();

    bool retryPending = false;
    bool retryContent = false;
    bool retryOverlay = false;
    bool retryUpdate = false;
};
