#pragma once

#include "core/TList.h"

#include <QSharedPointer>
#include <QTableWidget>

class ControlWidget;
class Packet;

// The attribute values of a few events as a table: side by side (one
// column per event, one row per attribute) so that they can be compared,
// or one row per event. Only the attributes that at least one shown event
// has appear, in name order.
class CompareWidget : public QTableWidget
{
    Q_OBJECT

public:
    // `limit`: the most events shown, -1 for all.
    CompareWidget(ControlWidget* control, int limit, bool eventsAsRows, QWidget* parent = nullptr);

    // Keeps a copy of the events and rebuilds the table.
    void setPackets(const TList<QSharedPointer<Packet>>& packets);
    // Rebuilds the whole table from the events and the attributes of the
    // glyph store; the columns share out the current width.
    void updateTable();

    QSize sizeHint() const override;

    bool eventsAsRows;
    TList<QSharedPointer<Packet>> packets;
    ControlWidget* control;   // not owned
    int limit;
};
