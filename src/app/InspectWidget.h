#pragma once

#include "core/TList.h"

#include <QDialog>
#include <QSharedPointer>

class CompareWidget;
class ControlWidget;
class Packet;

// The event inspection dialog: a comparison table of the given events,
// side by side for one or two, one row per event from three on. It has no
// layout: every resize refills the table and fits it to the dialog.
class InspectWidget : public QDialog
{
    Q_OBJECT

public:
    // Events shown at most; the rest are left out (with a debug line), so
    // that inspecting a whole large selection stays within memory.
    static constexpr int MAX_EVENTS = 10000;

    InspectWidget(ControlWidget* control, const TList<QSharedPointer<Packet>>& packets,
                  QWidget* parent = nullptr);

    CompareWidget* table = nullptr;   // a child, deleted with the dialog

protected:
    void resizeEvent(QResizeEvent* event) override;
};
