#include "views/charts/ChartOptionsWidget.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/DisplayText.h"
#include "core/HandlerGuard.h"
#include "core/Saturate.h"
#include "editors/ColorBox.h"
#include "events/EventType.h"
#include "events/ReloadEvent.h"
#include "events/RenderEvent.h"
#include "items/Axis.h"
#include "items/BinItem.h"
#include "items/ColorPalettes.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/charts/LineChart.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>

#include <algorithm>
#include <memory>
#include <new>

namespace {

const QString EVENTS_ATTRIBUTE = QStringLiteral("#Events");
const QString NONE_TEXT = QStringLiteral("None");
const QString RULES_ATTRIBUTE = QStringLiteral("Rules");

// Made in its place: out of memory before a layout takes it, it goes with
// its parent.
QLabel* label(const QString& text, QWidget* parent)
{
    return new QLabel(text, parent);
}

// The layout below `layout` that holds `widget` directly, and its index there.
QLayout* findHolder(QLayout* layout, QWidget* widget, int* index)
{
    if (!layout)
        return nullptr;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (!item)
            continue;
        if (item->widget() == widget) {
            *index = i;
            return layout;
        }
        if (QLayout* inner = findHolder(item->layout(), widget, index))
            return inner;
    }
    return nullptr;
}

// The text as an int; false for anything else (a number in exponent form
// among them).
bool readInt(const QString& text, int* value)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (ok)
        *value = v;
    return ok;
}

} // namespace

ChartOptionsWidget::ChartOptionsWidget(ControlWidget* controller, OptionsWidget* options,
                                       EventWidget* leftMatrix, EventWidget* rightMatrix,
                                       LineChart* leftChart, LineChart* rightChart, QWidget* parent)
    : QDialog(parent)
    , controller(controller)
    , leftMatrix(leftMatrix)
    , rightMatrix(rightMatrix)
    , leftChart(leftChart)
    , rightChart(rightChart)
    , options(options)
{
    // Running out of memory while the dialog is made goes on to its opener,
    // the borrowed controls given back first.
    ++runs;
    try {
        build();
    } catch (const std::bad_alloc&) {
        giveBack();
        throw;
    }
    --runs;
}

void ChartOptionsWidget::build()
{
    // 1.2 The "Line Chart" tab.
    auto* chartTab = new QWidget(this);
    chartGrid = new QGridLayout(chartTab);
    axisBox = new QComboBox(chartTab);
    axisBox->addItems({QStringLiteral("Y axis"), QStringLiteral("Color axis")});
    attributeBox = new QComboBox(chartTab);
    logarithmBox = new QCheckBox(chartTab);
    sortBox = new QComboBox(chartTab);
    sortBox->addItems({QStringLiteral("Default"), QStringLiteral("Frequency"), QStringLiteral("Rarity")});
    drawArcBox = new QCheckBox(chartTab);
    stackBox = new QCheckBox(chartTab);
    interpolateBox = new QCheckBox(chartTab);
    minimumLabel = new QLabel(chartTab);
    maximumLabel = new QLabel(chartTab);
    minimumCaption = label(QStringLiteral("Min:"), chartTab);
    maximumCaption = label(QStringLiteral("Max:"), chartTab);
    applyButton = new QPushButton(QStringLiteral("Apply"), chartTab);
    chartGrid->addWidget(label(QStringLiteral("Axis:"), chartTab), 0, 0);
    chartGrid->addWidget(axisBox, 0, 1);
    chartGrid->addWidget(label(QStringLiteral("Attribute:"), chartTab), 0, 2);
    chartGrid->addWidget(attributeBox, 0, 3, 1, 2);
    chartGrid->addWidget(label(QStringLiteral("Logarithm:"), chartTab), 1, 0);
    chartGrid->addWidget(logarithmBox, 1, 1);
    chartGrid->addWidget(label(QStringLiteral("Sort by:"), chartTab), 1, 2);
    chartGrid->addWidget(sortBox, 1, 3, 1, 2);
    chartGrid->addWidget(label(QStringLiteral("Draw arcs:"), chartTab), 2, 0);
    chartGrid->addWidget(drawArcBox, 2, 1);
    chartGrid->addWidget(label(QStringLiteral("Stack:"), chartTab), 2, 2);
    chartGrid->addWidget(stackBox, 2, 3);
    chartGrid->addWidget(label(QStringLiteral("Interpolate:"), chartTab), 3, 2);
    chartGrid->addWidget(interpolateBox, 3, 3);
    chartGrid->addWidget(minimumCaption, 4, 0);
    chartGrid->addWidget(minimumLabel, 4, 1);
    chartGrid->addWidget(maximumCaption, 4, 2);
    chartGrid->addWidget(maximumLabel, 4, 3, 1, 2);
    chartGrid->addWidget(applyButton, 5, 5);

    // 1.3 The "General" tab.
    auto* generalTab = new QWidget(this);
    generalGrid = new QGridLayout(generalTab);
    timeModeBox = new QCheckBox(QStringLiteral("Time mode"), generalTab);
    alternateBox = new QCheckBox(QStringLiteral("Alternate"), generalTab);
    timeClusterBox = new QCheckBox(QStringLiteral("Time Cluster"), generalTab);
    triangulateBox = new QCheckBox(QStringLiteral("Triangulate"), generalTab);
    glyphWarpBox = new QCheckBox(QStringLiteral("Glyph warp"), generalTab);
    timeWarpBox = new QCheckBox(QStringLiteral("Time warp"), generalTab);
    glyphModeBox = new QComboBox(generalTab);
    glyphModeBox->addItems({QStringLiteral("Frequency"), QStringLiteral("Ordering")});
    generalGrid->addWidget(timeModeBox, 0, 0);
    generalGrid->addWidget(alternateBox, 0, 1);
    generalGrid->addWidget(timeClusterBox, 1, 0);
    generalGrid->addWidget(triangulateBox, 1, 1);
    generalGrid->addWidget(glyphWarpBox, 2, 0);
    generalGrid->addWidget(timeWarpBox, 2, 1);
    generalGrid->addWidget(label(QStringLiteral("Glyph mode:"), generalTab), 3, 0);
    generalGrid->addWidget(glyphModeBox, 3, 1);
    generalGrid->addWidget(label(QStringLiteral("Glyph size:"), generalTab), 4, 0);
    generalGrid->addWidget(label(QStringLiteral("Glyph percentage:"), generalTab), 5, 0);
    if (options) {
        borrow(options->glyphSizeAxisBox, 4);
        borrow(options->glyphPercentageBox, 5);
    }

    // 1.4 The tabs and the side row.
    auto* tabs = new QTabWidget(this);
    tabs->addTab(generalTab, QStringLiteral("General"));
    tabs->addTab(chartTab, QStringLiteral("Line Chart"));
    auto* grid = new QGridLayout(this);
    sideLabel = label(QStringLiteral("Apply to:"), this);
    sideBox = new QComboBox(this);
    sideBox->addItems({QStringLiteral("Left view"), QStringLiteral("Right view"), QStringLiteral("Both views")});
    grid->addWidget(sideLabel, 0, 0);
    grid->addWidget(sideBox, 0, 1);
    grid->addWidget(tabs, 1, 0, 1, 2);
    sideLabel->setVisible(SPLIT_FLAG);
    sideBox->setVisible(SPLIT_FLAG);
    applyButton->hide();
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);

    // 1.5
    loadGeneral();
    changeAxis(0);
    connect(applyButton, &QPushButton::clicked, this, &ChartOptionsWidget::apply);
    connect(axisBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ChartOptionsWidget::changeAxis);
    connect(interpolateBox, &QCheckBox::clicked, this, &ChartOptionsWidget::changeConnect);
    connect(sortBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &ChartOptionsWidget::changeOrder);
    connect(attributeBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ChartOptionsWidget::changeAttribute);
    connect(logarithmBox, &QCheckBox::clicked, this, &ChartOptionsWidget::changeLogarithm);
    connect(stackBox, &QCheckBox::clicked, this, &ChartOptionsWidget::changeStack);
    connect(drawArcBox, &QCheckBox::clicked, this, &ChartOptionsWidget::changeDrawArc);
    connect(timeModeBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setTimeMode);
    connect(alternateBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setAlternateMode);
    connect(timeClusterBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setTimeCluster);
    connect(triangulateBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setTriangulate);
    connect(glyphWarpBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setGlyphWarp);
    connect(timeWarpBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setTimeWarp);
    connect(glyphModeBox, &QComboBox::currentTextChanged, this, &ChartOptionsWidget::setGroupFreq);
    if (options) {
        optionConnections.append(
            connect(options->showLabelsBox, &QCheckBox::clicked, this, &ChartOptionsWidget::showLabels));
        optionConnections.append(
            connect(options->showPopupsBox, &QCheckBox::clicked, this, &ChartOptionsWidget::showPopups));
        optionConnections.append(
            connect(options->multiMatchBox, &QCheckBox::clicked, this, &ChartOptionsWidget::setMulti));
    }
    frequencies.clear();
    values.clear();
    order = 0;
    sortBox->hide();
}

ChartOptionsWidget::~ChartOptionsWidget()
{
    giveBack();
}

void ChartOptionsWidget::runGuarded(const char* action, void (*run)(void*), void* work)
{
    if (runs > 0) {
        run(work);
        return;
    }
    // A chart that runs out of memory on the way says so, once, when the
    // change ends; the dialog then says nothing more.
    LineChart::OneMessage one;
    bool ranOut = false;
    {
        struct Open
        {
            int& runs;
            explicit Open(int& runs) : runs(runs) { ++runs; }
            ~Open() { --runs; }
        } open(runs);
        try {
            run(work);
        } catch (const std::bad_alloc&) {
            ranOut = true;
        }
    }
    // A chart that ran out of memory recovered by itself; its message is
    // held back until the change ends.
    const bool chartFailed = LineChart::failurePending();
    if (ranOut || chartFailed)
        failedWhileOpen = true;
    if (!ranOut || chartFailed)
        return;
    try {
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to change the chart options"),
                             QStringLiteral("The chart options ran out of memory while ") + QLatin1String(action)
                                 + QStringLiteral(". The charts show what the options last gave them."),
                             this);
    } catch (const std::exception&) {
        // Not even the message found room.
    }
}

QSize ChartOptionsWidget::sizeHint() const
{
    return QSize(500, 300);
}

void ChartOptionsWidget::done(int result)
{
    // Reached from the dialog's keys and its close: the controls go back
    // (or the user is told), and the dialog closes in any case.
    HandlerGuard::run([&] { giveBack(); });
    QDialog::done(result);
}

int ChartOptionsWidget::exec()
{
    // What runs out of memory while the dialog is open fails it as a whole:
    // it never ends as accepted after that.
    failedWhileOpen = false;
    const unsigned long failures = HandlerGuard::failures();
    const int result = QDialog::exec();
    return failedWhileOpen || HandlerGuard::failures() != failures ? int(QDialog::Rejected) : result;
}

int ChartOptionsWidget::side() const
{
    return sideBox ? std::max(0, sideBox->currentIndex()) : 0;
}

LineChart* ChartOptionsWidget::referenceChart() const
{
    return side() == 1 ? rightChart : leftChart;
}

EventWidget* ChartOptionsWidget::referenceMatrix() const
{
    return side() == 1 ? rightMatrix : leftMatrix;
}

Context* ChartOptionsWidget::currentContext() const
{
    Context* context = controller ? controller->currentContext() : nullptr;
    if (!context && referenceChart())
        context = referenceChart()->context;
    return context;
}

void ChartOptionsWidget::borrow(QWidget* widget, int row)
{
    if (!widget)
        return;
    Borrowed b;
    b.widget = widget;
    b.parent = widget->parentWidget();
    b.hidden = widget->isHidden();
    if (b.parent) {
        int index = -1;
        QLayout* holder = findHolder(b.parent->layout(), widget, &index);
        if (holder) {
            b.layout = holder;
            b.index = index;
            if (auto* gridHolder = qobject_cast<QGridLayout*>(holder))
                gridHolder->getItemPosition(index, &b.row, &b.column, &b.rowSpan, &b.columnSpan);
        }
    }
    borrowed.append(b);
    if (b.layout)
        b.layout->removeWidget(widget);
    generalGrid->addWidget(widget, row, 1);
    widget->show();
}

void ChartOptionsWidget::giveBack()
{
    if (givenBack)
        return;
    givenBack = true;
    for (const QMetaObject::Connection& c : optionConnections)
        disconnect(c);
    optionConnections.clear();
    // In the reverse order of borrowing, so that each goes back to its own
    // index. The destructor gives back too, where nothing may throw: each
    // widget goes back whatever happened to the one before, and without
    // the memory for its place in the layout it still goes back to its
    // parent (and does not go with this dialog).
    for (int i = borrowed.size() - 1; i >= 0; --i) {
        const Borrowed& b = borrowed.at(i);
        QWidget* widget = b.widget.data();
        if (!widget)
            continue;
        try {
            generalGrid->removeWidget(widget);
            if (!b.parent) {
                // It had no place: it goes back to its options object, hidden.
                widget->setParent(nullptr);
                widget->hide();
                continue;
            }
            if (auto* box = qobject_cast<QBoxLayout*>(b.layout.data()))
                box->insertWidget(std::min(b.index, box->count()), widget);
            else if (auto* gridHolder = qobject_cast<QGridLayout*>(b.layout.data()))
                gridHolder->addWidget(widget, b.row, b.column, b.rowSpan, b.columnSpan);
            else
                widget->setParent(b.parent);
            widget->setVisible(!b.hidden);
        } catch (const std::bad_alloc&) {
            if (widget->parentWidget() != b.parent.data())
                widget->setParent(b.parent);
        }
    }
    borrowed.clear();
}

bool ChartOptionsWidget::event(QEvent* e)
{
    if (e->type() == toEventType(RENDEREVENT)) {
        guarded("showing the colour values", [this] {
            changeAxis(1);
            apply();
        });
        e->accept();
        return true;
    }
    return QDialog::event(e);
}

TList<int> ChartOptionsWidget::usableRules() const
{
    TList<int> result;
    GlyphStore* store = controller ? controller->glyphStore : nullptr;
    if (!store)
        return result;
    for (int i = 0; i < store->rules.size(); ++i) {
        const Rule& rule = store->rules.at(i);
        // A rule whose precondition has no element has no first glyph.
        if (rule.pre && !rule.pre->children.isEmpty() && rule.pre->children.first())
            result.append(i);
    }
    return result;
}

TList<QColor> ChartOptionsWidget::tableColors() const
{
    TList<QColor> colors;
    GlyphStore* store = controller ? controller->glyphStore : nullptr;
    // The attribute being edited decides, so that choosing "Rules" colours
    // the chart by its rules at once.
    if (store && attributeBox->currentText() == RULES_ATTRIBUTE && axisBox->currentIndex() == 1) {
        for (int i : usableRules())
            colors.append(store->rules.at(i).pre->children.first()->glyph.fillColor);
        return colors;
    }
    return ColorPalettes::set3;
}

void ChartOptionsWidget::changeAxis(int axis)
{
    guarded("showing the axis", [this, axis] { showAxis(axis); });
}

void ChartOptionsWidget::showAxis(int axis)
{
    setUpdatesEnabled(false);
    LineChart* chart = referenceChart();
    GlyphStore* store = controller ? controller->glyphStore : nullptr;
    const TList<QString> names = store ? store->attributeNames(false) : TList<QString>();

    // 3.1
    {
        const QSignalBlocker blocker(attributeBox);
        attributeBox->clear();
        int current = 0;
        if (axis == 0) {
            attributeBox->addItem(EVENTS_ATTRIBUTE);
            for (const QString& name : names)
                if (store->isRangeAttribute(name))
                    attributeBox->addItem(name);
            if (chart)
                current = std::max(0, attributeBox->findText(chart->valueAttribute));
        } else {
            attributeBox->addItem(NONE_TEXT);
            attributeBox->addItem(RULES_ATTRIBUTE);
            for (const QString& name : names)
                if (!store->isRangeAttribute(name))
                    attributeBox->addItem(name);
            if (chart)
                current = std::max(0, attributeBox->findText(chart->colorAttribute));
        }
        attributeBox->setCurrentIndex(current);
    }

    // 3.2 The edits and the table are made anew; the old table may be the
    // one whose signal runs this, so it goes once control is back in the
    // event loop.
    {
        const QSignalBlocker blocker(axisBox);
        axisBox->setCurrentIndex(axis);
    }
    for (QLineEdit* edit : {minimumEdit, maximumEdit}) {
        if (!edit)
            continue;
        chartGrid->removeWidget(edit);
        edit->disconnect(this);
        edit->hide();
        edit->deleteLater();
    }
    minimumEdit = nullptr;
    maximumEdit = nullptr;

    // 3.3
    {
        const QSignalBlocker a(drawArcBox);
        const QSignalBlocker b(stackBox);
        const QSignalBlocker c(interpolateBox);
        const QSignalBlocker d(logarithmBox);
        drawArcBox->setChecked(chart && chart->drawArcs);
        stackBox->setChecked(chart && chart->stack);
        interpolateBox->setChecked(chart && chart->connectBins);
        logarithmBox->setChecked(axis == 0 && chart && chart->valueAxis && chart->valueAxis->logScale);
    }

    // In their place at once: out of memory before the grid takes them,
    // they go with the tab, never shown.
    minimumEdit = new QLineEdit(chartGrid->parentWidget());
    maximumEdit = new QLineEdit(chartGrid->parentWidget());
    if (axis == 0) {
        // 3.4
        stackBox->setEnabled(false);
        sortBox->setEnabled(false);
        logarithmBox->setEnabled(true);
        drawArcBox->setEnabled(true);
        if (chart && chart->valueAxis) {
            double low = chart->countMinimum;
            double high = chart->countMaximum;
            if (chart->valueAttribute != EVENTS_ATTRIBUTE && store) {
                low = store->minValue(chart->valueAttribute, currentContext());
                high = store->maxValue(chart->valueAttribute, currentContext());
            }
            minimumLabel->setText(QString::number(low, 'g', 3));
            maximumLabel->setText(QString::number(high, 'g', 3));
            minimum = chart->valueAxis->min;
            maximum = chart->valueAxis->max;
            minimumEdit->setText(QString::number(minimum, 'g', 3));
            maximumEdit->setText(QString::number(maximum, 'g', 3));
        }
        connect(minimumEdit, &QLineEdit::textChanged, this, &ChartOptionsWidget::changeFromValue);
        connect(maximumEdit, &QLineEdit::textChanged, this, &ChartOptionsWidget::changeToValue);
    } else {
        // 3.5
        stackBox->setEnabled(true);
        sortBox->setEnabled(true);
        logarithmBox->setEnabled(false);
        drawArcBox->setEnabled(false);
        minimumLabel->setText(QStringLiteral("N.A."));
        maximumLabel->setText(QStringLiteral("N.A."));
    }
    buildTable(axis == 1 ? tableColors() : TList<QColor>(), axis == 1);

    // 3.6
    for (QWidget* w : {static_cast<QWidget*>(minimumCaption), static_cast<QWidget*>(maximumCaption)})
        chartGrid->removeWidget(w);
    chartGrid->addWidget(minimumEdit, 4, 1);
    chartGrid->addWidget(maximumEdit, 4, 3, 1, 2);
    chartGrid->addWidget(minimumCaption, 4, 0);
    chartGrid->addWidget(maximumCaption, 4, 2);
    for (int c = 0; c < chartGrid->columnCount(); ++c)
        chartGrid->setColumnStretch(c, 0);
    minimumEdit->setEnabled(axis == 0);
    maximumEdit->setEnabled(axis == 0);
    setUpdatesEnabled(true);
    repaint();
}

void ChartOptionsWidget::buildTable(const TList<QColor>& colors, bool fill)
{
    // 8.1
    const int rows = fill ? values.size() : 0;
    if (fill) {
        valueColors.clear();
        for (int i = 0; i < values.size(); ++i) {
            const QColor own = colors.isEmpty() ? QColor(Qt::gray) : colors.at(i % colors.size());
            valueColors[values.at(i)] = chosenColors.value(values.at(i), own);
        }
    }

    // 8.2 The new table is filled before the old one goes: out of memory,
    // the old one stays.
    std::unique_ptr<QTableWidget> made(new QTableWidget(rows, 4, chartGrid->parentWidget()));
    QTableWidget* table = made.get();
    table->setHorizontalHeaderLabels({QStringLiteral("Visible"), QStringLiteral("Color"),
                                      QStringLiteral("Value"), QStringLiteral("Frequency")});
    table->setSortingEnabled(false);
    table->setDragEnabled(true);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->hide();
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    // 8.3
    for (int i = 0; i < rows; ++i) {
        const TVariant& v = values.at(i);
        // Each cell's item and widget are held until the table takes them.
        std::unique_ptr<QTableWidgetItem> visible(new QTableWidgetItem);
        visible->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        visible->setCheckState(hiddenValues.contains(v) ? Qt::Unchecked : Qt::Checked);
        table->setItem(i, VISIBLE_COLUMN, visible.release());
        // A colour chosen in the swatch becomes the value's colour.
        std::unique_ptr<ColorBox> swatch(new ColorBox(valueColors.value(v), nullptr));
        connect(swatch.get(), &ColorBox::colorChanged, this, [this, v](const QColor& color) {
            guarded("colouring a value", [this, &v, &color] {
                chosenColors.insert(v, color);
                valueColors[v] = color;
                apply();
            });
        });
        table->setCellWidget(i, COLOR_COLUMN, swatch.release());
        const int frequency = frequencies.value(v, 0);
        std::unique_ptr<QTableWidgetItem> text(new QTableWidgetItem(DisplayText::of(v)));
        text->setFlags(Qt::ItemIsEnabled);
        text->setForeground(frequency != 0 ? QColor(Qt::black) : QColor(Qt::lightGray));
        text->setData(VALUE_INDEX_ROLE, i);
        table->setItem(i, VALUE_COLUMN, text.release());
        std::unique_ptr<QTableWidgetItem> count(new QTableWidgetItem);
        count->setData(Qt::DisplayRole, frequency);
        count->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        table->setItem(i, FREQUENCY_COLUMN, count.release());
    }
    // Sorting starts from the values' order: no column is sorted yet.
    table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    table->setSortingEnabled(true);
    connect(table->horizontalHeader(), &QHeaderView::sectionClicked, this,
            &ChartOptionsWidget::changeColorOrdering);

    // 8.4
    connect(table, &QTableWidget::cellChanged, this, &ChartOptionsWidget::changeVisible);
    table->resizeColumnsToContents();
    table->setEnabled(axisBox->currentIndex() == 1);
    if (orderingTable) {
        chartGrid->removeWidget(orderingTable);
        orderingTable->disconnect(this);
        orderingTable->horizontalHeader()->disconnect(this);
        orderingTable->hide();
        orderingTable->deleteLater();
    }
    orderingTable = made.release();
    chartGrid->addWidget(table, 5, 0, 1, 5);
}

int ChartOptionsWidget::valueIndexOfRow(int row) const
{
    if (!orderingTable)
        return -1;
    const QTableWidgetItem* item = orderingTable->item(row, VALUE_COLUMN);
    if (!item)
        return -1;
    bool ok = false;
    const int index = item->data(VALUE_INDEX_ROLE).toInt(&ok);
    return ok && index >= 0 && index < values.size() ? index : -1;
}

void ChartOptionsWidget::changeOrder(int newOrder)
{
    guarded("listing the attribute's values", [this, newOrder] { orderValues(newOrder); });
}

void ChartOptionsWidget::orderValues(int newOrder)
{
    // 4.1
    order = newOrder;
    const QString attribute = attributeBox->currentText();
    frequencies.clear();
    values.clear();
    chosenColors.clear();
    GlyphStore* store = controller ? controller->glyphStore : nullptr;

    // 4.2
    if (store && attribute == RULES_ATTRIBUTE) {
        for (int i : usableRules()) {
            const Rule& rule = store->rules.at(i);
            const TVariant value(rule.pre->children.first()->glyph.name, true);
            // The store counts the matches of each rule under the rule's name;
            // rules headed by the same glyph add up.
            frequencies[value] += store->ruleCounts.value(rule.name, 0);
            values.append(value);
        }
    } else if (store) {
        frequencies = store->histogram(attribute, currentContext(), -1);
        values = frequencies.keys();
    }

    // 4.3
    if (order == 1 || order == 2) {
        QMap<int, TList<TVariant>> byFrequency;
        for (const TVariant& v : values)
            byFrequency[frequencies.value(v, 0)].append(v);
        values.clear();
        for (auto it = byFrequency.constBegin(); it != byFrequency.constEnd(); ++it)
            values.append(it.value());
        if (order == 2)
            values.reverse();
    }

    // 4.4
    if (values.size() > MAX_VALUES)
        values = values.mid(0, MAX_VALUES);

    // 4.5
    buildTable(tableColors());
    apply();
}

void ChartOptionsWidget::changeAttribute(int)
{
    guarded("changing the attribute", [this] {
        changeOrder(0);
        changeAxis(axisBox->currentIndex());
    });
}

void ChartOptionsWidget::apply()
{
    guarded("applying them", [this] { applyToCharts(); });
}

void ChartOptionsWidget::applyToCharts()
{
    for (LineChart* chart : chartTargets) {
        if (!chart)
            continue;
        if (axisBox->currentIndex() == 0) {
            chart->setValueAttribute(attributeBox->currentText(), saturatedInt(minimum),
                                     saturatedInt(maximum), logarithmBox->isChecked(), true);
            continue;
        }
        qDebug().noquote() << QStringLiteral("ZAttribute  is ") + chart->colorAttribute;
        // Colours by row: each row keeps the index of its value.
        TList<QColor> rowColors;
        const int rows = orderingTable ? orderingTable->rowCount() : 0;
        for (int r = 0; r < rows; ++r) {
            const int index = valueIndexOfRow(r);
            rowColors.append(index >= 0 ? valueColors.value(values.at(index), QColor(Qt::gray))
                                        : QColor(Qt::gray));
        }
        TList<TVariant> shown;
        TList<QColor> shownColors;
        for (int i = 0; i < values.size(); ++i) {
            if (hiddenValues.contains(values.at(i)))
                continue;
            shown.append(values.at(i));
            shownColors.append(rows > 0 ? rowColors.at(i % rows) : valueColors.value(values.at(i), QColor(Qt::gray)));
        }
        chart->setColorAttribute(attributeBox->currentText(), shown, shownColors, true);
    }
    if (orderingTable)
        orderingTable->viewport()->update();
}

void ChartOptionsWidget::changeVisible(int row, int column)
{
    std::unique_ptr<RenderEvent> event;
    guarded("showing or hiding a value", [this, row, column, &event] {
        if (column != VISIBLE_COLUMN || !orderingTable)
            return;
        const int index = valueIndexOfRow(row);
        const QTableWidgetItem* item = orderingTable->item(row, VISIBLE_COLUMN);
        if (index < 0 || !item)
            return;
        if (item->data(Qt::CheckStateRole).toInt() == Qt::Checked)
            hiddenValues.remove(values.at(index));
        else
            hiddenValues.insert(values.at(index));
        event.reset(new RenderEvent(this, {QStringLiteral("OverviewWidget"), side()}));
    });
    // Sent once the change is done: the dialog's own handling of the event
    // ends its failures itself.
    if (event)
        QCoreApplication::sendEvent(this, event.get());
}

void ChartOptionsWidget::changeColorOrdering(int)
{
    guarded("ordering the values", [this] {
        // A table without rows orders nothing: applying its empty list would
        // take every value off the chart's colour axis.
        if (!orderingTable || orderingTable->rowCount() == 0)
            return;
        // The table sorted itself before the click came here: the values take
        // the rows' order, and every row its new index.
        TList<TVariant> ordered;
        const int rows = orderingTable->rowCount();
        for (int r = 0; r < rows; ++r) {
            const int index = valueIndexOfRow(r);
            if (index >= 0)
                ordered.append(values.at(index));
        }
        if (ordered.size() != values.size())
            return;
        values = ordered;
        {
            const QSignalBlocker blocker(orderingTable);
            const bool sorting = orderingTable->isSortingEnabled();
            orderingTable->setSortingEnabled(false);
            for (int r = 0; r < rows; ++r)
                if (QTableWidgetItem* item = orderingTable->item(r, VALUE_COLUMN))
                    item->setData(VALUE_INDEX_ROLE, r);
            orderingTable->setSortingEnabled(sorting);
        }
        apply();
    });
}

void ChartOptionsWidget::changeConnect()
{
    guarded("interpolating the bins", [this] {
        if (LineChart* chart = referenceChart())
            chart->setConnect(interpolateBox->isChecked());
        changeAxis(axisBox->currentIndex());
    });
}

void ChartOptionsWidget::changeLogarithm()
{
    guarded("changing the logarithm", [this] {
        apply();
        changeAxis(axisBox->currentIndex());
    });
}

void ChartOptionsWidget::changeStack()
{
    guarded("stacking the series", [this] {
        if (LineChart* chart = referenceChart())
            chart->setStack(stackBox->isChecked());
        changeAxis(axisBox->currentIndex());
    });
}

void ChartOptionsWidget::changeDrawArc()
{
    guarded("drawing the arcs", [this] {
        if (LineChart* chart = referenceChart())
            chart->setDrawArc(drawArcBox->isChecked());
        changeAxis(axisBox->currentIndex());
    });
}

void ChartOptionsWidget::setMatrixFlag(bool EventWidget::*flag, const QCheckBox* box)
{
    guarded("changing the event matrix", [this, flag, box] {
        for (EventWidget* matrix : matrixTargets) {
            if (!matrix)
                continue;
            matrix->*flag = box->isChecked();
            matrix->reload();
            matrix->setSize(-1, -1);
        }
    });
}

void ChartOptionsWidget::setTimeMode()
{
    setMatrixFlag(&EventWidget::timeMode, timeModeBox);
}

void ChartOptionsWidget::setAlternateMode()
{
    setMatrixFlag(&EventWidget::alternateMode, alternateBox);
}

void ChartOptionsWidget::setTimeCluster()
{
    setMatrixFlag(&EventWidget::timeCluster, timeClusterBox);
}

void ChartOptionsWidget::setTriangulate()
{
    setMatrixFlag(&EventWidget::triangulate, triangulateBox);
}

void ChartOptionsWidget::setGlyphWarp()
{
    setMatrixFlag(&EventWidget::glyphWarp, glyphWarpBox);
}

void ChartOptionsWidget::setTimeWarp()
{
    setMatrixFlag(&EventWidget::timeWarp, timeWarpBox);
}

void ChartOptionsWidget::setGroupFreq(const QString& mode)
{
    guarded("changing the glyph mode", [this, &mode] {
        for (EventWidget* matrix : matrixTargets) {
            if (!matrix)
                continue;
            matrix->glyphMode = mode;
            matrix->reload();
            matrix->setSize(-1, -1);
        }
    });
}

void ChartOptionsWidget::showLabels(bool on)
{
    guarded("showing the labels", [this, on] {
        for (EventWidget* matrix : matrixTargets)
            if (matrix)
                matrix->showLabels(on);
    });
}

void ChartOptionsWidget::showPopups(bool on)
{
    guarded("showing the pop-ups", [this, on] {
        for (EventWidget* matrix : matrixTargets)
            if (matrix)
                matrix->showPopups(on);
    });
}

void ChartOptionsWidget::setMulti()
{
    guarded("showing multiple matches", [this] {
        showMulti = !showMulti;
        for (EventWidget* matrix : {leftMatrix, rightMatrix}) {
            if (!matrix)
                continue;
            ReloadEvent event(this);
            QCoreApplication::sendEvent(matrix, &event);
        }
    });
}

void ChartOptionsWidget::loadGeneral()
{
    // 2.1
    const int s = side();
    matrixTargets.clear();
    chartTargets.clear();
    if ((s == 0 || s == 2) && leftMatrix)
        matrixTargets.append(leftMatrix);
    if ((s == 1 || s == 2) && rightMatrix)
        matrixTargets.append(rightMatrix);
    if ((s == 0 || s == 2) && leftChart)
        chartTargets.append(leftChart);
    if ((s == 1 || s == 2) && rightChart)
        chartTargets.append(rightChart);

    // 2.2
    setUpdatesEnabled(false);
    const QSignalBlocker a(timeClusterBox);
    const QSignalBlocker b(triangulateBox);
    const QSignalBlocker c(glyphWarpBox);
    const QSignalBlocker d(timeWarpBox);
    const QSignalBlocker e(glyphModeBox);
    const EventWidget* matrix = referenceMatrix();
    if (s == 2 || !matrix) {
        timeClusterBox->setChecked(false);
        triangulateBox->setChecked(false);
        glyphWarpBox->setChecked(false);
        timeWarpBox->setChecked(false);
        glyphModeBox->setCurrentIndex(0);
    } else {
        timeClusterBox->setChecked(matrix->timeCluster);
        triangulateBox->setChecked(matrix->triangulate);
        glyphWarpBox->setChecked(matrix->glyphWarp);
        timeWarpBox->setChecked(matrix->timeWarp);
        glyphModeBox->setCurrentIndex(matrix->glyphMode == QLatin1String("Frequency") ? 0 : 1);
    }
    setUpdatesEnabled(true);
}

void ChartOptionsWidget::changeFromValue(const QString& text)
{
    guarded("changing the lowest value", [this, &text] {
        int v = 0;
        readInt(text, &v);
        int m = 0;
        if (maximumEdit && readInt(maximumEdit->text(), &m))
            v = std::min(v, m);
        if (minimumEdit) {
            const QSignalBlocker blocker(minimumEdit);
            minimumEdit->setText(QString::number(v));
        }
        minimum = v;
        apply();
    });
}

void ChartOptionsWidget::changeToValue(const QString& text)
{
    guarded("changing the highest value", [this, &text] {
        int v = 0;
        readInt(text, &v);
        int m = 0;
        if (minimumEdit && readInt(minimumEdit->text(), &m))
            v = std::max(v, m);
        if (maximumEdit) {
            const QSignalBlocker blocker(maximumEdit);
            maximumEdit->setText(QString::number(v));
        }
        maximum = v;
        apply();
    });
}
