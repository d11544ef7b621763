#include "views/attributes/HistogramWidget.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "items/BinItem.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "views/attributes/PlotWidget.h"

#include <QComboBox>
#include <QMetaMethod>
#include <QTabWidget>
#include <QVBoxLayout>

HistogramWidget::HistogramWidget(const QString& attribute, ControlWidget* control,
                                 const TList<QSharedPointer<Packet>>& packets, QWidget* parent)
    : QDialog(parent)
{
    attributes = new QComboBox;
    tabs = new QTabWidget;
    GlyphStore* store = control ? control->glyphStore : nullptr;
    context = new Context(nullptr, QStringLiteral("temp"), packets, store, true);

    if (store) {
        const TList<QString> names = store->attributeNames(false);
        for (const QString& name : names.items) {
            if (store->hasValues(name, context))
                attributes->addItem(name);
        }
    }

    // The box starts on the attribute asked for when it offers it; when it
    // does not (no values here, or an identifier, which keeps no histogram),
    // the plot takes the attribute the box shows instead of an empty one.
    QString shown = attribute;
    const int offered = attributes->findText(attribute);
    if (offered >= 0)
        attributes->setCurrentIndex(offered);
    else if (attributes->count() > 0)
        shown = attributes->currentText();

    plot = new PlotWidget(shown, control, this);
    connect(plot, &PlotWidget::hoveredItem, this, &HistogramWidget::hoverItem);
    plot->refreshData(context, true, true);

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
    plot->attribute = name;
    plot->refreshData(context, true, true);
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
