#pragma once

// Incomplete: a stand-in for the line chart; it keeps the flags, the event
// view and the context the shell hands it and paints its name.

#include "items/ImgWidget.h"

class Context;
class EventWidget;

class LineChart : public ImgWidget
{
    Q_OBJECT

public:
    LineChart(ControlWidget* owner, EventWidget* eventView, QWidget* parent);

    bool isActive() const;
    void setActive(bool active, bool rebuild);
    void setContext(Context* context, bool clearSelection, bool render);

    void reset() override;
    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void setSize(int w, int h) override;
    QSize sizeHint() const override;

    Context* context = nullptr;
    // The same side's event matrix.
    EventWidget* eventView;
    bool active = true;

protected:
    // The name painted while the chart is incomplete.
    virtual QString placeholderName() const;
};
