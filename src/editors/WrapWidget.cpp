#include "editors/WrapWidget.h"

WrapWidget::WrapWidget(QWidget* inner, QWidget* parent)
    : QWidget(parent), inner(inner)
{
}
