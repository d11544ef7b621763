#pragma once

#include "core/TList.h"

#include <QDialog>
#include <QSharedPointer>

class CompareWidget;
class ControlWidget;
class Packet;

// The popup of the events under the mouse in the event matrix: their
// comparison table (at most 500 events); it closes as soon as the mouse
// leaves it.
class GlyphPopup : public QDialog
{
    Q_OBJECT

public:
    static constexpr int MAX_EVENTS = 500;

    GlyphPopup(ControlWidget* control, const TList<QSharedPointer<Packet>>& packets,
               QWidget* parent = nullptr);

    CompareWidget* table = nullptr;   // a child of the dialog

protected:
    void leaveEvent(QEvent* event) override;
};
