#pragma once

#include "core/TList.h"
#include "core/TVariant.h"

#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSize>
#include <QString>

class ControlWidget;
class EventWidget;
class IAxis;
class QCheckBox;
class QComboBox;
class QSpinBox;
class QWidget;

// The option controls of one event matrix and its axis factory. It has no
// window of its own: it makes the combo and check boxes without parents and
// the ribbon places them (their Qt parents then delete them). It wires the
// boxes to its matrix, refills the attribute boxes after every load, turns
// the attribute chosen for an axis into an IAxis, and runs the two
// inspection dialogs of the matrix's context menu.
class OptionsWidget : public QObject
{
    Q_OBJECT

public:
    OptionsWidget(ControlWidget* control, EventWidget* view);
    ~OptionsWidget() override;

    // Connects the boxes to the view, each connection once however often
    // it is called, then refills the attribute boxes.
    void connectSignals();
    // Refills the sequential, event and glyph-size boxes from the glyph
    // store without telling the view; a chosen attribute that still exists
    // stays chosen.
    void setupAxisCombos();
    // A new axis, owned by the caller: role 0 X (always empty), 1 Y (a
    // window of the attribute's values in the group order), 2 glyph size (a
    // numeric axis, or null when the attribute is not an event attribute).
    // "none" gives the empty axis in every role.
    IAxis* createAxis(const QString& name, int role, bool traceSide);
    // The distinct values of an attribute in the view's context, by
    // ascending frequency for "Frequency", else alphabetically by text.
    TList<TVariant> axisValues(const QString& name, const QString& order);
    // Where the frequency dialog of size `dialog` opens for the pointer at
    // `cursor` over a matrix of size `matrix`, both in the matrix's
    // coordinates (inspectFreq then keeps it on the screen).
    static QPoint frequencyDialogPosition(const QPoint& cursor, const QSize& dialog, const QSize& matrix);

    QComboBox* sequentialAxisBox;
    QComboBox* eventAxisBox;
    EventWidget* view;
    QCheckBox* multiMatchBox;
    QCheckBox* showLabelsBox;
    QCheckBox* showPopupsBox;
    ControlWidget* control;
    QComboBox* sortDirectionBox;
    QComboBox* sortBox;
    QComboBox* groupOrderBox;
    QComboBox* groupDirectionBox;
    QCheckBox* stackBox;
    QComboBox* orientationBox;
    QComboBox* glyphSizeAxisBox;
    // The share of a glyph's area drawn, in percent; the chart options
    // dialog shows it beside the glyph-size box. Nothing reads it yet.
    QSpinBox* glyphPercentageBox;
    int binOffset = 0;
    // Window lengths by axis role; -1 would mean every value.
    TList<int> binWindow;
    // Per axis role the full ordered value list of its latest axis.
    TList<TList<TVariant>> axisValueLists;

public slots:
    void inspect();
    void inspectFreq();
    void setConv(int index);

private:
    // Every box made here, to delete those no ribbon has placed.
    QList<QPointer<QWidget>> controls;
};
