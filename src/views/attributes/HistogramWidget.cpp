#include "views/attributes/HistogramWidget.h"

#include "app/ControlWidget.h"
#include "core/HandlerGuard.h"
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

#include <memory>

#include <new>

HistogramWidget::HistogramWidget(const QString& attribute, ControlWidget* control,
                                 const TList<QSharedPointer<Packet>>& packets, QWidget* parent)
    : QDialog(parent)
    , plot(nullptr)
    , context(nullptr)
{
    // The dialog's parts first, children from the start: out of memory
    // while they are made, the failure goes on to the opener and they go
    // with the dialog.
    attributes = new QComboBox(this);
    tabs = new QTabWidget(this);
    plot = new PlotWidget(attribute, control, this);
    connect(plot, &PlotWidget::hoveredItem, this, &HistogramWidget::hoverItem);
    tabs->addTab(plot, QStringLiteral("attributes"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(attributes);
    layout->addWidget(tabs);

    // Then the counting: out of memory, the dialog shows no bars and says so.
    GlyphStore* store = control ? control->glyphStore : nullptr;
    bool counted = false;
    // The context is the dialog's once it is made whole: a constructor that
    // throws runs no destructor.
    std::unique_ptr<Context> made;
    try {
        made.reset(new Context(nullptr, QStringLiteral("temp"), packets, store, true));
        context = made.get();
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
            plot->attribute = attributes->currentText();
        plot->refreshData(context, true, true);
        counted = true;
    } catch (const std::bad_alloc&) {
    }
    if (!counted)
        tellOutOfMemory(this, QStringLiteral("Failed to show the histogram"), "The histogram",
                        QStringLiteral("counting the values of ") + plot->attribute, QStringLiteral("shows no bars."));

    connect(attributes, &QComboBox::currentTextChanged, this, &HistogramWidget::setDataAttribute);
    made.release();
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
    // The counting has its own message; what surrounds it ends here too.
    HandlerGuard::run([&] {
        const QString shown = plot->attribute;
        plot->attribute = name;
        try {
            plot->refreshData(context, true, true);
        } catch (const std::bad_alloc&) {
            ranOut = true;
            // The plot shows the attribute it showed (or, when the new bars
            // were made but could not be laid out, no bars), and the box
            // says which.
            const bool before = !plot->series.isEmpty();
            if (before)
                plot->attribute = shown;
            tellOutOfMemory(this, QStringLiteral("Failed to show the histogram"), "The histogram",
                            QStringLiteral("counting the values of ") + name,
                            before ? QStringLiteral("shows the attribute it showed.")
                                   : QStringLiteral("shows no bars. Another attribute is counted anew."));
            if (before) {
                const QSignalBlocker quiet(attributes);
                attributes->setCurrentIndex(attributes->findText(shown));
            }
        }
    });
}

void HistogramWidget::hoverItem(BinItem* item)
{
    // The receiver owns the condition: with none (the event matrix's dialog
    // takes none) it would never be freed, so none is built.
    if (!isSignalConnected(QMetaMethod::fromSignal(&HistogramWidget::hoverQuery)))
        return;
    ParseNode* query = nullptr;
    const bool made = HandlerGuard::run([&] {
        // A bar without events has no value to compare with.
        const TVariant value = item ? plot->barValue(item) : TVariant();
        query = equalityQuery(plot->attribute, value);
    });
    if (!made)
        ranOut = true;
    // Out of memory, the opener is told of no bar rather than keep showing
    // the condition of the one hovered before.
    HandlerGuard::run([&] { emit hoverQuery(query); });
}

void HistogramWidget::leaveEvent(QEvent* event)
{
    HandlerGuard::run([&] { QWidget::leaveEvent(event); });
}

int HistogramWidget::exec()
{
    // What runs out of memory while the dialog is open fails it as a whole:
    // it never ends as accepted after that.
    ranOut = false;
    const unsigned long failures = HandlerGuard::failures();
    const int result = QDialog::exec();
    return ranOut || HandlerGuard::failures() != failures ? int(QDialog::Rejected) : result;
}
