#include "items/EmptyAxis.h"

EmptyAxis::EmptyAxis()
    : IAxis(QPointF(0, 0), 0, 0, QString(), false)
{
}

int EmptyAxis::count() const
{
    return 1;
}

int EmptyAxis::binIndex(const TVariant&) const
{
    return 0;
}

double EmptyAxis::position(const TVariant&) const
{
    return x;
}

TList<QString> EmptyAxis::labels() const
{
    return labelList;
}
