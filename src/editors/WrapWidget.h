#pragma once

#include <QWidget>

// A plain container for a widget placed in a table cell; the caller lays
// the inner widget out inside it.
class WrapWidget : public QWidget
{
public:
    WrapWidget(QWidget* inner, QWidget* parent = nullptr);

    QWidget* inner = nullptr;   // not owned through this field
};
