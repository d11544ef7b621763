#include "items/BinAxis.h"

#include "core/DisplayText.h"

#include <QDateTime>
#include <QLocale>

namespace {

const TVariant& miscVariant()
{
    static const TVariant misc("Misc", true, nullptr);
    return misc;
}

} // namespace

BinAxis::BinAxis(const QPointF& pos, double width, double height, const QString& name,
                 const IList<TVariant>& values, const THash<QString, int>& columns,
                 bool vertical, bool miscBin, bool timeLabels)
    : IAxis(pos, width, height, name, vertical), columns(columns),
      column(columns.contains(name) ? columns.value(name) : -1), timeLabels(timeLabels),
      miscBin(miscBin)
{
    edgeLabels = false;
    setValues(values);
}

void BinAxis::setValues(const IList<TVariant>& values)
{
    bins.clear();
    binOf.clear();
    labelList.clear();
    const int n = values.size();
    int lo = 0;
    int hi = 0;
    if (n > 0 && timeLabels) {
        lo = values[0].toInt();
        hi = values[n - 1].toInt();
    }
    for (int i = 0; i < n; ++i) {
        const TVariant& v = values[i];
        QString label;
        if (i == n - 1 && miscBin) {
            bins.append(miscVariant());
            binOf[miscVariant()] = i;
            label = QStringLiteral("Misc");
        } else {
            bins.append(v);
            binOf[v] = i;
            label = timeLabels ? formatTime(v.toInt(), lo, hi) : DisplayText::of(v);
        }
        labelList.append(label);
    }
}

int BinAxis::count() const
{
    return bins.size();
}

int BinAxis::findBin(const TVariant& value) const
{
    const int index = binOf.value(value, -1);
    if (index != -1)
        return index;
    if (!miscBin)
        return -1;
    return binOf.value(miscVariant(), -1);
}

int BinAxis::binIndex(const TVariant& value) const
{
    if (!value.isValid())
        return -1;
    return findBin(value);
}

double BinAxis::position(const TVariant& value) const
{
    const int n = count();
    if (n <= 1)
        return 0.0;
    return static_cast<double>(findBin(value)) / (n - 1) * width;
}

TList<QString> BinAxis::labels() const
{
    return labelList;
}

TVariant BinAxis::value(int i) const
{
    return bins[i];
}

TList<TVariant> BinAxis::values() const
{
    return bins;
}

TList<TVariant> BinAxis::otherValues() const
{
    return otherValueList;
}

QString BinAxis::formatTime(int t, int lo, int hi) const
{
    // 64-bit difference: the extent of two ints does not always fit in one.
    const qint64 d = static_cast<qint64>(hi) - lo;
    QString format;
    if (d <= 0)
        format = QStringLiteral("ss:z");
    else if (d <= 3599)
        format = QStringLiteral("mm:ss");
    else if (d <= 10079)
        format = QStringLiteral("dd:hh");
    else
        format = QStringLiteral("MM:dd");
    return QLocale::c().toString(QDateTime::fromSecsSinceEpoch(t), format);
}
