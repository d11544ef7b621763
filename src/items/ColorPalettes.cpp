#include "items/ColorPalettes.h"

const TList<QColor> ColorPalettes::set3 = {
    QColor("#8dd3c7"), QColor("#ffffb3"), QColor("#bebada"), QColor("#fb8072"),
    QColor("#80b1d3"), QColor("#fdb462"), QColor("#b3de69"), QColor("#fccde5"),
    QColor("#d9d9d9"), QColor("#bc80bd"), QColor("#ccebc5"), QColor("#ffed6f"),
};
