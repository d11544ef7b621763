#include "views/events/OptionsWidget.h"

#include "app/ControlWidget.h"
#include "app/InspectWidget.h"
#include "core/HandlerGuard.h"
#include "core/Packet.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/EmptyAxis.h"
#include "items/ScreenPlacement.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/attributes/HistogramWidget.h"
#include "views/events/EventWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDebug>
#include <QIcon>
#include <QPointer>
#include <QSpinBox>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

const QString NONE_NAME = QStringLiteral("none");
const QString ASC = QStringLiteral("ASC");
const QString DESC = QStringLiteral("DESC");
const QString TIME_EPOCH = QStringLiteral("frame.time_epoch");
const QString FREQUENCY_INSPECTION_ATTRIBUTE = QStringLiteral("ip.src");
// Room kept between the frequency dialog and the matrix's edge.
constexpr int DIALOG_MARGIN = 5;

QComboBox* comboBox(const QStringList& items)
{
    auto* box = new QComboBox;
    box->addItems(items);
    return box;
}

QCheckBox* checkBox(const QString& text, bool checked)
{
    auto* box = new QCheckBox(text);
    box->setChecked(checked);
    return box;
}

// "none" and the names, each with an empty icon; the remembered text is
// chosen again when it is among them.
void fill(QComboBox* box, const TList<QString>& names, const QString& remembered)
{
    box->addItem(QIcon(), NONE_NAME);
    for (const QString& name : names)
        box->addItem(QIcon(), name);
    const int index = remembered.isEmpty() ? -1 : box->findText(remembered);
    box->setCurrentIndex(index >= 0 ? index : 0);
}

const auto textChanged = &QComboBox::currentTextChanged;

} // namespace

OptionsWidget::OptionsWidget(ControlWidget* control, EventWidget* view)
    : QObject(nullptr)
    , view(view)
    , control(control)
{
    sequentialAxisBox = comboBox({NONE_NAME});
    eventAxisBox = comboBox({NONE_NAME});
    multiMatchBox = checkBox(QStringLiteral("Multi-match"), true);
    showLabelsBox = checkBox(QStringLiteral("Show labels"), true);
    showPopupsBox = checkBox(QStringLiteral("Show popups"), true);
    sortDirectionBox = comboBox({ASC, DESC});
    sortDirectionBox->setEnabled(false);
    sortBox = comboBox({QStringLiteral("Default"), QStringLiteral("Alphabetical"), QStringLiteral("Frequency"),
                        QStringLiteral("Selected"), QStringLiteral("HC Eucledian")});
    groupOrderBox = comboBox({QStringLiteral("Alphabetical"), QStringLiteral("Frequency")});
    groupDirectionBox = comboBox({ASC, DESC});
    groupDirectionBox->setEnabled(false);
    stackBox = checkBox(QStringLiteral("Stack"), false);
    orientationBox = comboBox({QStringLiteral("Vertical"), QStringLiteral("Horizontal")});
    orientationBox->hide();
    glyphSizeAxisBox = comboBox({NONE_NAME});
    // These three are refilled with the attribute names of every load: they
    // widen to the names, so that the chosen one can be read.
    for (QComboBox* box : {sequentialAxisBox, eventAxisBox, glyphSizeAxisBox})
        box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    glyphPercentageBox = new QSpinBox;
    glyphPercentageBox->setRange(1, 100);
    glyphPercentageBox->setValue(100);
    glyphPercentageBox->setSuffix(QStringLiteral(" %"));

    binWindow = TList<int>{1, 50, 100};
    axisValueLists = TList<TList<TVariant>>{TList<TVariant>(), TList<TVariant>(), TList<TVariant>()};

    for (QWidget* w : std::initializer_list<QWidget*>{
             sequentialAxisBox, eventAxisBox, multiMatchBox, showLabelsBox, showPopupsBox, sortDirectionBox,
             sortBox, groupOrderBox, groupDirectionBox, stackBox, orientationBox, glyphSizeAxisBox,
             glyphPercentageBox})
        controls.append(QPointer<QWidget>(w));
}

OptionsWidget::~OptionsWidget()
{
    // The boxes belong to the ribbon that placed them; those never placed
    // (the unused right group's) go with the options object.
    for (const QPointer<QWidget>& w : controls)
        if (w && !w->parent())
            delete w.data();
}

void OptionsWidget::connectSignals()
{
    if (view) {
        connect(stackBox, &QCheckBox::clicked, view, &EventWidget::setStack, Qt::UniqueConnection);
        connect(groupOrderBox, textChanged, view, &EventWidget::setSort, Qt::UniqueConnection);
        connect(groupDirectionBox, textChanged, view, &EventWidget::setGroupSort, Qt::UniqueConnection);
        connect(sortBox, textChanged, view, &EventWidget::setCluster, Qt::UniqueConnection);
        connect(sortDirectionBox, textChanged, view, &EventWidget::setClusterSort, Qt::UniqueConnection);
    }
    connect(orientationBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &OptionsWidget::setConv,
            Qt::UniqueConnection);
    setupAxisCombos();
}

void OptionsWidget::setupAxisCombos()
{
    const QString sequentialText = sequentialAxisBox->currentText();
    const QString eventText = eventAxisBox->currentText();

    const auto toEvents = QOverload<const QString&>::of(&EventWidget::changeYAxis2);
    const auto toTraces = QOverload<const QString&>::of(&EventWidget::changeYAxis);
    const auto toSizes = QOverload<const QString&>::of(&EventWidget::changeZAxis);
    if (view) {
        disconnect(eventAxisBox, textChanged, view, toEvents);
        disconnect(sequentialAxisBox, textChanged, view, toTraces);
        disconnect(glyphSizeAxisBox, textChanged, view, toSizes);
    }
    sequentialAxisBox->clear();
    eventAxisBox->clear();
    glyphSizeAxisBox->clear();

    GlyphStore* store = control ? control->glyphStore : nullptr;
    TList<QString> traceNames = store ? store->attributeNames(true) : TList<QString>();
    std::sort(traceNames.begin(), traceNames.end());
    fill(sequentialAxisBox, traceNames, sequentialText);

    const TList<QString> eventNames = store ? store->attributeNames(false) : TList<QString>();
    TList<QString> sortedEventNames = eventNames;
    std::sort(sortedEventNames.begin(), sortedEventNames.end());
    fill(eventAxisBox, sortedEventNames, eventText);

    TList<QString> rangeNames;
    for (const QString& name : eventNames)
        if (store->isRangeAttribute(name))
            rangeNames.append(name);
    fill(glyphSizeAxisBox, rangeNames, QString());

    if (view) {
        connect(eventAxisBox, textChanged, view, toEvents, Qt::UniqueConnection);
        connect(sequentialAxisBox, textChanged, view, toTraces, Qt::UniqueConnection);
        connect(glyphSizeAxisBox, textChanged, view, toSizes, Qt::UniqueConnection);
    }
}

IAxis* OptionsWidget::createAxis(const QString& name, int role, bool traceSide)
{
    GlyphStore* store = control ? control->glyphStore : nullptr;
    if (role == 0 || name == NONE_NAME || !store)
        return new EmptyAxis;

    if (role == 1) {
        TList<TVariant> values = axisValues(name, groupOrderBox->currentText());
        if (groupDirectionBox->currentText() == DESC && values.size() >= 2)
            values.reverse();
        axisValueLists[1] = values;
        const int length = binWindow[1];
        const TList<TVariant> window = length == -1 ? values.mid(binOffset) : values.mid(binOffset, length);
        return new BinAxis(QPointF(0, 0), 0, 0, name, window, store->attributeMap(traceSide), true, false,
                           name == TIME_EPOCH);
    }

    // The glyph-size axis reads an event attribute's column.
    auto column = store->attributeColumns.constFind(name);
    if (column == store->attributeColumns.constEnd()) {
        qDebug().noquote() << "glyph size attribute" << name << "is not an event attribute: no glyph-size axis";
        return nullptr;
    }
    Context* context = control->currentContext();
    if (!context && view)
        context = view->context;
    const double min = store->minValue(name, context);
    const double max = store->maxValue(name, context);
    return new Axis(QPointF(0, 0), 0, 0, name, column.value(), min, max, false);
}

TList<TVariant> OptionsWidget::axisValues(const QString& name, const QString& order)
{
    TList<TVariant> result;
    GlyphStore* store = control ? control->glyphStore : nullptr;
    if (!store)
        return result;
    Context* context = view ? view->context : control->currentContext();
    const THash<TVariant, int> histogram = store->histogram(name, context, -1);
    result.items.reserve(std::size_t(histogram.size()));

    if (order == QLatin1String("Frequency")) {
        // Least frequent first; equal counts keep the histogram's order.
        std::vector<std::pair<int, TVariant>> counted;
        counted.reserve(std::size_t(histogram.size()));
        for (auto it = histogram.constBegin(); it != histogram.constEnd(); ++it)
            counted.emplace_back(it.value(), it.key());
        std::stable_sort(counted.begin(), counted.end(),
                         [](const std::pair<int, TVariant>& a, const std::pair<int, TVariant>& b) {
                             return a.first < b.first;
                         });
        for (const auto& entry : counted)
            result.append(entry.second);
        return result;
    }

    // By text, code unit by code unit ("10" before "9", capitals first);
    // distinct values that print alike keep the value order, so that each
    // keeps a bin of its own.
    std::vector<std::pair<QString, TVariant>> texts;
    texts.reserve(std::size_t(histogram.size()));
    for (auto it = histogram.constBegin(); it != histogram.constEnd(); ++it)
        texts.emplace_back(it.key().toString(), it.key());
    std::sort(texts.begin(), texts.end(),
              [](const std::pair<QString, TVariant>& a, const std::pair<QString, TVariant>& b) {
                  if (a.first != b.first)
                      return a.first < b.first;
                  return a.second < b.second;
              });
    for (const auto& entry : texts)
        result.append(entry.second);
    return result;
}

QPoint OptionsWidget::frequencyDialogPosition(const QPoint& cursor, const QSize& dialog, const QSize& matrix)
{
    // Pointer and result in the matrix's own coordinates: the dialog is
    // moved left and up as far as it would reach past the matrix's edges.
    const qint64 dy = qint64(dialog.height()) - (qint64(matrix.height()) - cursor.y());
    const qint64 up = dy > 0 ? dy + DIALOG_MARGIN : DIALOG_MARGIN;
    const qint64 dx = qint64(dialog.width()) - (qint64(matrix.width()) - cursor.x());
    const qint64 left = dx > 0 ? dx + DIALOG_MARGIN : DIALOG_MARGIN;
    return QPoint(int(cursor.x() - left), int(cursor.y() - up));
}

// The two inspections only show: a dialog that runs out of memory while
// it is made or shown is stopped and goes, and nothing else changes.

void OptionsWidget::inspect()
{
    HandlerGuard::run([this] {
        const TList<QSharedPointer<Packet>> packets =
            control ? control->selectedPackets() : TList<QSharedPointer<Packet>>();
        const std::unique_ptr<InspectWidget> dialog(new InspectWidget(control, packets, nullptr));
        dialog->exec();
    });
}

void OptionsWidget::inspectFreq()
{
    HandlerGuard::run([this] {
        const TList<QSharedPointer<Packet>> packets =
            control ? control->selectedPackets() : TList<QSharedPointer<Packet>>();
        const std::unique_ptr<HistogramWidget> dialog(
            new HistogramWidget(FREQUENCY_INSPECTION_ATTRIBUTE, control, packets, nullptr));
        // The size it shows with, so that the placement counts with it.
        dialog->adjustSize();
        const QPoint pointer = QCursor::pos();
        QPoint topLeft = pointer - QPoint(DIALOG_MARGIN, DIALOG_MARGIN);
        if (view)
            topLeft = view->mapToGlobal(
                frequencyDialogPosition(view->mapFromGlobal(pointer), dialog->size(), view->size()));
        ScreenPlacement::moveOnScreen(dialog.get(), topLeft, pointer);
        dialog->exec();
    });
}

void OptionsWidget::setConv(int index)
{
    HandlerGuard::run([this, index] {
        if (view)
            view->setConv(index == 0);
    });
}
