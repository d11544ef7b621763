#pragma once

// Incomplete: a stand-in for the event matrix; it keeps the flags and the
// context the shell and the router hand it and paints its name.

#include "core/TList.h"
#include "items/ImgWidget.h"

#include <QSharedPointer>

class Context;
class OptionsWidget;
class Packet;

class EventWidget : public ImgWidget
{
    Q_OBJECT

public:
    EventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent);
    ~EventWidget() override;

    bool isActive() const;
    void setActive(bool active, bool reload);
    void setContext(Context* context);
    // Marks the view focused; with announce, tells the control in a FocusEvent.
    void setFocused(bool focused, bool announce);
    TList<QSharedPointer<Packet>> selectedPackets() const;

    void reset() override;
    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void setSize(int w, int h) override;
    QSize sizeHint() const override;

    bool focused = false;
    bool active = true;
    ControlWidget* control;
    int side;
    Context* context = nullptr;
    OptionsWidget* options;

public slots:
    void copyTo();
    void copyFrom();

protected:
    bool event(QEvent* event) override;
};
