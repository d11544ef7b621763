#pragma once

#include <QColor>
#include <QWidget>

#include <memory>

class BinItem;
class QPaintEvent;

// A preview of one glyph or rule, drawn as large as the widget's shorter
// side allows and centred on a plain background.
class ExampleWidget : public QWidget
{
public:
    explicit ExampleWidget(QWidget* parent = nullptr);
    ~ExampleWidget() override;

    ExampleWidget(const ExampleWidget&) = delete;
    ExampleWidget& operator=(const ExampleWidget&) = delete;

    QSize sizeHint() const override;
    void setColor(const QColor& color);
    // Shows a copy of the item: a rule stays a rule, anything else becomes
    // a plain glyph with all of the item's fields. Null is ignored. Out of
    // memory (std::bad_alloc) the widget shows what it showed.
    void setItem(const BinItem* shown);
    // The copy setItem shows for an item, made ahead; showCopy then puts it
    // in place, allocating nothing of its own.
    static std::unique_ptr<BinItem> copyOf(const BinItem& shown);
    void showCopy(std::unique_ptr<BinItem> copy);

    BinItem* item = nullptr;   // owned; a Rule after a rule was shown
    QColor background = Qt::white;

protected:
    void paintEvent(QPaintEvent* event) override;
};
