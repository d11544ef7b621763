#pragma once

#include "core/TList.h"

#include <QColor>
#include <QString>

class TVariant;

// A colour scale: gives each value of an attribute a colour, an index and a
// label, for views that colour their series by a categorical attribute.
class IColorAxis
{
public:
    IColorAxis(const TList<QColor>& palette, const QString& name, bool flag);
    IColorAxis(const IColorAxis&) = default;
    IColorAxis& operator=(const IColorAxis&) = default;
    virtual ~IColorAxis();

    // Grey for a value without colour.
    virtual QColor color(const TVariant& value) const = 0;
    // -1 when the value has no entry.
    virtual int index(const TVariant& value) const = 0;
    virtual TList<TVariant> values() const = 0;
    virtual TList<QString> labels() const = 0;

    // Colour i belongs to value i.
    TList<QColor> colors() const;

    // The palette; a ColorBinAxis replaces it by the colours of its values.
    TList<QColor> colorList;
    QString name;
    // Kept for the scale kinds; nothing reads them yet.
    bool flag;
    bool auxFlag = false;
};
