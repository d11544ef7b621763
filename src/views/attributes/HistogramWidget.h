#pragma once

#include "core/TList.h"

#include <QDialog>
#include <QSharedPointer>
#include <QString>

class BinItem;
class Context;
class ControlWidget;
class Packet;
class ParseNode;
class PlotWidget;
class QComboBox;
class QTabWidget;
class TVariant;

// The histogram of one attribute over a fixed list of events, in a dialog
// with a chooser of the attributes that have values among them. The plot
// shows the attribute the chooser shows: the one asked for when it is
// offered, else the first one offered. A bar the mouse rests on becomes the
// condition "attribute == value", sent as a tree (hoverQuery) to whoever
// opened the dialog.
class HistogramWidget : public QDialog
{
    Q_OBJECT

public:
    HistogramWidget(const QString& attribute, ControlWidget* control,
                    const TList<QSharedPointer<Packet>>& packets, QWidget* parent);
    ~HistogramWidget() override;

    // The condition comparing the attribute with exactly this value, built as
    // a tree: no text of the value is made or read, so a value of megabytes,
    // or one with quotes, backslashes or line breaks, costs a moment and
    // matches the events that hold it. Null for no attribute or no value.
    static ParseNode* equalityQuery(const QString& attribute, const TVariant& value);

    // Rejected when anything ran out of memory while the dialog was open.
    int exec() override;

    PlotWidget* plot;        // a child of the dialog
    QComboBox* attributes;   // a child of the dialog
    Context* context;        // owned: "temp" over the given events
    QTabWidget* tabs;        // a child of the dialog

signals:
    // The condition of the hovered bar, or null; the one receiver owns it.
    // Without a receiver no condition is built.
    void hoverQuery(ParseNode* query);

public slots:
    void setDataAttribute(const QString& name);
    void hoverItem(BinItem* item);

protected:
    void leaveEvent(QEvent* event) override;

private:
    // Set by the dialog's own handlers that ran out of memory.
    bool ranOut = false;
};
