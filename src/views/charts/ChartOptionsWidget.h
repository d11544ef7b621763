#pragma once

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QColor>
#include <QDialog>
#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QSet>

#include <type_traits>

class Context;
class ControlWidget;
class EventWidget;
class LineChart;
class OptionsWidget;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The options dialog of the line charts. "General" sets display flags of
// the event matrix and shows the matrix options' glyph-size and
// glyph-percentage controls, which it borrows while it is open; "Line
// Chart" chooses the chart's value axis (attribute, range locks,
// logarithm) or colour axis (attribute or "Rules", with a table of the
// values: visibility, colour, frequency, order), and its stacking,
// interpolation and arcs. Every change applies at once.
//
// Without the split layout the dialog acts on the left matrix and the left
// chart, whichever ribbon opened it. When it closes it gives the borrowed
// controls back to where they were and drops its connections to the
// options' buttons.
//
// A change made through a control ends in the dialog when memory runs out
// (a chart recovers and tells of its own failures): one message names
// memory and the dialog stays whole as far as the change got. Making the
// dialog lets its failure go on to the opener, the controls given back.
class ChartOptionsWidget : public QDialog
{
    Q_OBJECT

public:
    ChartOptionsWidget(ControlWidget* controller, OptionsWidget* options, EventWidget* leftMatrix,
                       EventWidget* rightMatrix, LineChart* leftChart, LineChart* rightChart,
                       QWidget* parent);
    ~ChartOptionsWidget() override;

    QSize sizeHint() const override;
    void done(int result) override;
    // Rejected when anything ran out of memory while the dialog was open.
    int exec() override;

    // The side the dialog acts on: 0 left, 1 right, 2 both.
    int side() const;
    // The chart and the matrix whose state the dialog shows.
    LineChart* referenceChart() const;
    EventWidget* referenceMatrix() const;

    QComboBox* attributeBox;
    QLabel* minimumLabel;
    QLabel* maximumLabel;
    ControlWidget* controller;
    QGridLayout* chartGrid;
    QComboBox* axisBox;
    QComboBox* sortBox;
    QCheckBox* logarithmBox;
    QCheckBox* drawArcBox;
    QCheckBox* stackBox;
    QCheckBox* interpolateBox;
    QLineEdit* minimumEdit = nullptr;
    QLineEdit* maximumEdit = nullptr;
    QComboBox* sideBox;
    QTableWidget* orderingTable = nullptr;
    QPushButton* applyButton;
    TList<TVariant> values;
    THash<TVariant, int> frequencies;
    QSet<TVariant> hiddenValues;
    int order = 0;
    double minimum = 0.0;
    double maximum = 0.0;
    TList<EventWidget*> matrixTargets;
    TList<LineChart*> chartTargets;
    EventWidget* leftMatrix;
    EventWidget* rightMatrix;
    LineChart* leftChart;
    LineChart* rightChart;
    QCheckBox* timeModeBox;
    QCheckBox* alternateBox;
    QCheckBox* timeClusterBox;
    QCheckBox* triangulateBox;
    QCheckBox* glyphWarpBox;
    QCheckBox* timeWarpBox;
    QComboBox* glyphModeBox;
    OptionsWidget* options;
    THash<TVariant, QColor> valueColors;

    // The most values the colour table lists.
    static constexpr int MAX_VALUES = 20;
    // Table columns.
    static constexpr int VISIBLE_COLUMN = 0;
    static constexpr int COLOR_COLUMN = 1;
    static constexpr int VALUE_COLUMN = 2;
    static constexpr int FREQUENCY_COLUMN = 3;
    // The role under which a row keeps the index of its value in `values`.
    static constexpr int VALUE_INDEX_ROLE = Qt::UserRole + 1;

public slots:
    void apply();
    void changeAxis(int axis);
    void changeConnect();
    void changeOrder(int order);
    void changeAttribute(int index);
    void changeVisible(int row, int column);
    void changeLogarithm();
    void changeStack();
    void changeDrawArc();
    void changeColorOrdering(int section);
    void setTimeMode();
    void setAlternateMode();
    void setTimeCluster();
    void setTriangulate();
    void setGlyphWarp();
    void setTimeWarp();
    void setGroupFreq(const QString& mode);
    void showLabels(bool on);
    void showPopups(bool on);
    void setMulti();
    void loadGeneral();
    void changeFromValue(const QString& text);
    void changeToValue(const QString& text);

protected:
    bool event(QEvent* e) override;

private:
    // Runs `work` so that running out of memory ends here, with one message
    // ending "ran out of memory while `action`"; inside another such run, or
    // while the dialog is made, the failure goes on to that.
    template <typename Work>
    void guarded(const char* action, Work&& work)
    {
        using Run = std::remove_reference_t<Work>;
        runGuarded(action, [](void* w) { (*static_cast<Run*>(w))(); }, &work);
    }
    void runGuarded(const char* action, void (*run)(void*), void* work);
    void build();
    void showAxis(int axis);
    void orderValues(int order);
    void applyToCharts();

    // A control of the options shown in the "General" tab while the dialog
    // is open, and where it came from.
    struct Borrowed
    {
        QPointer<QWidget> widget;
        QPointer<QWidget> parent;
        QPointer<QLayout> layout;
        int index = -1;
        int row = 0;
        int column = 0;
        int rowSpan = 1;
        int columnSpan = 1;
        bool hidden = true;
    };

    // Takes the widget into the "General" tab at `row`, noting its place.
    void borrow(QWidget* widget, int row);
    // Gives the borrowed controls back and drops the option buttons'
    // connections; runs once, when the dialog closes or goes.
    void giveBack();
    // The colours of the colour table: per rule the fill colour of its first
    // glyph for "Rules", else the palette.
    TList<QColor> tableColors() const;
    // Rules whose precondition has a first element, in rule order.
    TList<int> usableRules() const;
    // A new ordering table in place of the old one; with fill, one row per
    // value in `values`.
    void buildTable(const TList<QColor>& colors, bool fill = true);
    // The value of a table row (its index in `values`), or -1.
    int valueIndexOfRow(int row) const;
    Context* currentContext() const;
    void setMatrixFlag(bool EventWidget::*flag, const QCheckBox* box);

    QLabel* minimumCaption;
    QLabel* maximumCaption;
    QLabel* sideLabel;
    QGridLayout* generalGrid;
    QList<Borrowed> borrowed;
    QList<QMetaObject::Connection> optionConnections;
    // Colours chosen in the table's swatches, kept over the table's
    // rebuilds until another attribute is chosen.
    QHash<TVariant, QColor> chosenColors;
    bool givenBack = false;
    int runs = 0;
    // A change made while the dialog is open ran out of memory.
    bool failedWhileOpen = false;
};
