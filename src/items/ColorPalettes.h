#pragma once

#include "core/TList.h"

#include <QColor>

// The fixed palettes of the system.
class ColorPalettes
{
public:
    // Twelve light qualitative colours: the default of colour scales and the
    // palette the chart options offer for colouring values.
    static const TList<QColor> set3;
};
