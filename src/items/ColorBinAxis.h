#pragma once

#include "core/IList.h"
#include "core/THash.h"
#include "core/TVariant.h"
#include "items/IColorAxis.h"

// One palette colour per value of an ordered value list, optionally with a
// last "Misc" entry that stands for every other value.
class ColorBinAxis : public IColorAxis
{
public:
    // An empty palette means ColorPalettes::set3; colours repeat when there
    // are more values than colours.
    ColorBinAxis(const QString& name, const IList<TVariant>& values,
                 const THash<QString, int>& columns, const TList<QColor>& palette, bool miscBin);

    QColor color(const TVariant& value) const override;
    int index(const TVariant& value) const override;
    TList<TVariant> values() const override;
    TList<QString> labels() const override;

    // The string value "Misc"; made before main runs and never freed.
    static const TVariant* const miscValue;

    THash<QString, int> columns;
    THash<TVariant, QColor> colorOf;
    // The values in order; with miscBin the last one is *miscValue.
    TList<TVariant> valueList;
    bool miscBin;
};
