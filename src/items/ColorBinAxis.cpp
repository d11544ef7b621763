#include "items/ColorBinAxis.h"

#include "core/DisplayText.h"
#include "items/ColorPalettes.h"

const TVariant* const ColorBinAxis::miscValue = new TVariant("Misc", true, nullptr);

ColorBinAxis::ColorBinAxis(const QString& name, const IList<TVariant>& values,
                           const THash<QString, int>& columns, const TList<QColor>& palette,
                           bool miscBin)
    : IColorAxis(palette, name, false), columns(columns), miscBin(miscBin)
{
    const int n = values.size();
    for (int i = 0; i < n; ++i)
        valueList.append(values[i]);
    colorList.clear();

    for (int i = 0; i < n; ++i) {
        const QColor c = palette.isEmpty() ? ColorPalettes::set3.at(i % ColorPalettes::set3.size())
                                           : palette.at(i % palette.size());
        colorList.append(c);
        if (i == n - 1 && miscBin) {
            colorOf[*miscValue] = c;
            valueList.last() = *miscValue;
        } else {
            colorOf[valueList.at(i)] = c;
        }
    }
}

QColor ColorBinAxis::color(const TVariant& value) const
{
    return colorOf.value(value, QColor(Qt::gray));
}

int ColorBinAxis::index(const TVariant& value) const
{
    const int i = valueList.indexOf(value);
    if (i >= 0 || !miscBin)
        return i;
    return valueList.indexOf(*miscValue);
}

TList<TVariant> ColorBinAxis::values() const
{
    return valueList;
}

TList<QString> ColorBinAxis::labels() const
{
    TList<QString> result;
    for (const TVariant& v : valueList)
        result.append(DisplayText::of(v));
    return result;
}
