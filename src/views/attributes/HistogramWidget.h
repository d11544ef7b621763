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

// The histogram of one attribute over a fixed list of events, in a dialog
// with a chooser of the attributes that have values among them. A bar the
// mouse rests on becomes the condition "attribute == value", sent as a
// parsed tree (hoverQuery) to whoever opened the dialog.
class HistogramWidget : public QDialog
{
    Q_OBJECT

public:
    HistogramWidget(const QString& attribute, ControlWidget* control,
                    const TList<QSharedPointer<Packet>>& packets, QWidget* parent);
    ~HistogramWidget() override;

    // The condition comparing the attribute with one value, written the way
    // the condition printer quotes names and values so that any characters
    // read back as that one comparison; null when it does not read.
    static ParseNode* equalityQuery(const QString& attribute, const QString& value);

    PlotWidget* plot;        // a child of the dialog
    QComboBox* attributes;   // a child of the dialog
    Context* context;        // owned: "temp" over the given events
    QTabWidget* tabs;        // a child of the dialog

signals:
    // The condition of the hovered bar, or null; the receiver owns it.
    void hoverQuery(ParseNode* query);

public slots:
    void setDataAttribute(const QString& name);
    void hoverItem(BinItem* item);

protected:
    void leaveEvent(QEvent* event) override;
};
