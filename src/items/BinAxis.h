#pragma once

#include "core/IList.h"
#include "core/THash.h"
#include "core/TVariant.h"
#include "items/IAxis.h"

// The categorical axis: one bin per value of an ordered list, labelled with
// the value (or a time when the axis shows the time attribute), optionally
// with a last "Misc" bin for every value outside the list.
class BinAxis : public IAxis
{
public:
    BinAxis(const QPointF& pos, double width, double height, const QString& name,
            const IList<TVariant>& values, const THash<QString, int>& columns, bool vertical,
            bool miscBin, bool timeLabels);

    void setValues(const IList<TVariant>& values);

    int count() const override;
    int binIndex(const TVariant& value) const override;
    // Bins spread from 0 (first) to width (last); a value without a bin
    // gives a negative position. With one bin or none every value gives 0.
    double position(const TVariant& value) const override;
    TList<QString> labels() const override;

    // Bin value i; i must lie in 0 .. count() - 1.
    TVariant value(int i) const;
    TList<TVariant> values() const;
    TList<TVariant> otherValues() const;
    // Label of the time t (whole seconds since the epoch, local time) in a
    // format chosen by the extent hi - lo of the axis.
    QString formatTime(int t, int lo, int hi) const;

    THash<QString, int> columns;
    int column;
    bool timeLabels;
    bool miscBin;
    THash<TVariant, int> binOf;
    TList<TVariant> bins;
    // A second value list kept for the views; the axis never fills it.
    TList<TVariant> otherValueList;

private:
    int findBin(const TVariant& value) const;
};
