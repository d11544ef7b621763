#include "views/attributes/HistogramWidget.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "items/BinItem.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "views/attributes/OutOfMemory.h"
#include "views/attributes/PlotWidget.h"

#include <QComboBox>
#include <QMetaMethod>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <new>

HistogramWidget::HistogramWidget(const QString& attribute, ControlWidget* control,
                                 const TList<QSharedPointer<Packet>>& packets, QWidget* parent)
    : QDialog(parent)
    , plot(nullptr)
    , context(nullptr)
{
    // Children from the start: the dialog is whole however its counting ends.
    attributes = new QComboBox(this);
    tabs = new QTabWidget(this);
    GlyphStore* store = control ? control->glyphStore : nullptr;
    QString shown = attribute;
    // Out of memory, the dialog shows no bars and says so.
    bool counted = false;
    try {
        context = new Context(nullptr, QStringLiteral("temp"), packets, store, true);
        if (store) {
            const TList<QString> names = store->attributeNames(false);
            for (const QString& name : names.items) {
                if (store->hasValues(name, context))
                    attributes->addItem(name);
            }
        }
        // The box starts on the attribute asked for when it offers it; when
        // it does not (no values here, or an identifier, which keeps no
        // histogram), the plot takes the attribute the box shows instead of
        // an empty one.
        const int offered = attributes->findText(attribute);
        if (offered >= 0)
            attributes->setCurrentIndex(offered);
        else if (attributes->count() > 0)
            shown = attributes->currentText();
        counted = true;
    } catch (const std::bad_alloc&) {
    }

    plot = new PlotWidget(shown, control, this);
    connect(plot, &PlotWidget::hoveredItem, this, &HistogramWidget::hoverItem);
    if (counted) {
        try {
            plot->refreshData(context, true, true);
        } catch (const std::bad_alloc&) {
            counted = false;
        }
    }
    if (!counted)
        tellOutOfMemory(this, QStringLiteral("Failed to show the histogram"), "The histogram",
                        QStringLiteral("counting the values of ") + shown, QStringLiteral("shows no bars."));

    connect(attributes, &QComboBox::currentTextChanged, this, &HistogramWidget::setDataAttribute);

    tabs->addTab(plot, QStringLiteral("attributes"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(attributes);
    layout->addWidget(tabs);
}

HistogramWidget::~HistogramWidget()
{
    // The plot goes with the dialog's children; it only points at the context.
    delete plot;
    plot = nullptr;
    delete context;
}

ParseNode* HistogramWidget::equalityQuery(const QString& attribute, const TVariant& value)
{
    if (attribute.isEmpty() || !value.isValid())
        return nullptr;
    // The value is shared, not copied: the tree costs the same for any value.
    auto* test = new ParseNode(ParseNode::Test);
    test->name = attribute;
    test->op = ParseNode::Equal;
    test->value = value;
    return test;
}

void HistogramWidget::setDataAttribute(const QString& name)
{
    const QString shown = plot->attribute;
    plot->attribute = name;
    try {
        plot->refreshData(context, true, true);
    } catch (const std::bad_alloc&) {
        // The plot shows the attribute it showed (or, when the new bars were
        // made but could not be laid out, no bars), and the box says which.
        const bool before = !plot->series.isEmpty();
        if (before) {
            plot->attribute = shown;
            const QSignalBlocker quiet(attributes);
            attributes->setCurrentIndex(attributes->findText(shown));
        }
        tellOutOfMemory(this, QStringLiteral("Failed to show the histogram"), "The histogram",
                        QStringLiteral("counting the values of ") + name,
                        before ? QStringLiteral("shows the attribute it showed.")
                               : QStringLiteral("shows no bars. Another attribute is counted anew."));
    }
}

void HistogramWidget::hoverItem(BinItem* item)
{
    // The receiver owns the condition: with none (the event matrix's dialog
    // takes none) it would never be freed, so none is built.
    if (!isSignalConnected(QMetaMethod::fromSignal(&HistogramWidget::hoverQuery)))
        return;
    // A bar without events has no value to compare with.
    const TVariant value = item ? plot->barValue(item) : TVariant();
    emit hoverQuery(equalityQuery(plot->attribute, value));
}

void HistogramWidget::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
}
