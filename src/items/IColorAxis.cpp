#include "items/IColorAxis.h"

#include "core/TVariant.h"

IColorAxis::IColorAxis(const TList<QColor>& palette, const QString& name, bool flag)
    : colorList(palette), name(name), flag(flag)
{
}

IColorAxis::~IColorAxis() = default;

TList<QColor> IColorAxis::colors() const
{
    return colorList;
}
