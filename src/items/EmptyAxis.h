#pragma once

#include "items/IAxis.h"

// The axis of the choice "none": one bin, no labels.
class EmptyAxis : public IAxis
{
public:
    EmptyAxis();

    int count() const override;
    int binIndex(const TVariant& value) const override;
    double position(const TVariant& value) const override;
    TList<QString> labels() const override;
};
