#pragma once

// Incomplete: a stand-in for the attribute panel; it keeps the context and
// the attribute names it is given and paints its name.

#include "core/TList.h"

#include <QString>
#include <QWidget>

class ControlWidget;
class Context;

class AttributeWidget : public QWidget
{
    Q_OBJECT

public:
    AttributeWidget(ControlWidget* controlWidget, bool kind, QWidget* parent);

    void setContext(Context* context);
    void layoutAttributes(TList<QString> names);

    TList<QString> attributes;
    ControlWidget* controlWidget;
    bool kind;
    Context* context = nullptr;

public slots:
    void refresh(QString order = QString());
    void refreshRules();

protected:
    void paintEvent(QPaintEvent* event) override;
};
