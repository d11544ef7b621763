#include "views/attributes/HistogramWidget.h"

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "items/BinItem.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "views/attributes/PlotWidget.h"

#include <QComboBox>
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

    plot = new PlotWidget(attribute, control, this);
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

ParseNode* HistogramWidget::equalityQuery(const QString& attribute, const QString& value)
{
    ParseNode test(ParseNode::Test);
    test.name = attribute;
    test.op = ParseNode::Equal;
    test.value = TVariant(value, false);
    return ConditionParser::parse(test.toString());
}

void HistogramWidget::setDataAttribute(const QString& name)
{
    plot->attribute = name;
    plot->refreshData(context, true, true);
}

void HistogramWidget::hoverItem(BinItem* item)
{
    // A bar without events has no value to compare with.
    const QString value = item ? plot->valueText(item) : QString();
    if (value.isEmpty()) {
        emit hoverQuery(nullptr);
        return;
    }
    emit hoverQuery(equalityQuery(plot->attribute, value));
}

void HistogramWidget::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
}
