#include "TestRegistry.h"

#include "core/TVariant.h"
#include "items/ColorBinAxis.h"
#include "items/ColorPalettes.h"

#include <QtTest>

namespace {

TList<TVariant> texts(const QStringList& list)
{
    TList<TVariant> values;
    for (const QString& s : list)
        values.append(TVariant(s));
    return values;
}

QStringList names(const TList<QColor>& colors)
{
    QStringList result;
    for (const QColor& c : colors)
        result << c.name();
    return result;
}

} // namespace

class ColorScaleTest : public QObject
{
    Q_OBJECT

private slots:
    void set3Palette();
    void defaultPalette();
    void paletteWraps();
    void miscEntry();
    void repeatedValueKeepsLaterColour();
    void emptyValues();
};

void ColorScaleTest::set3Palette()
{
    QCOMPARE(names(ColorPalettes::set3),
             (QStringList{"#8dd3c7", "#ffffb3", "#bebada", "#fb8072", "#80b1d3", "#fdb462",
                          "#b3de69", "#fccde5", "#d9d9d9", "#bc80bd", "#ccebc5", "#ffed6f"}));
    for (const QColor& c : ColorPalettes::set3)
        QCOMPARE(c.alpha(), 255);
}

void ColorScaleTest::defaultPalette()
{
    ColorBinAxis axis("proto", texts({"a", "b", "c"}), THash<QString, int>(), TList<QColor>(),
                      false);
    QCOMPARE(names(axis.colors()), (QStringList{"#8dd3c7", "#ffffb3", "#bebada"}));
    QCOMPARE(axis.color(TVariant("b")).name(), QString("#ffffb3"));
    QCOMPARE(axis.color(TVariant("z")), QColor(Qt::gray));
    QCOMPARE(axis.index(TVariant("c")), 2);
    QCOMPARE(axis.index(TVariant("z")), -1);
    QCOMPARE(axis.name, QString("proto"));
    QCOMPARE(axis.labels().toQList(), (QList<QString>{"a", "b", "c"}));
}

void ColorScaleTest::paletteWraps()
{
    QStringList thirteen;
    for (int i = 0; i < 13; ++i)
        thirteen << QString("v%1").arg(i);
    ColorBinAxis axis("x", texts(thirteen), THash<QString, int>(), TList<QColor>(), false);
    QCOMPARE(axis.colors().size(), 13);
    QCOMPARE(axis.colors()[12].name(), QString("#8dd3c7"));
    QCOMPARE(axis.color(TVariant("v12")).name(), QString("#8dd3c7"));
    QCOMPARE(axis.color(TVariant("v11")).name(), QString("#ffed6f"));
}

void ColorScaleTest::miscEntry()
{
    TList<QColor> palette;
    palette.append(QColor("#112233"));
    palette.append(QColor("#445566"));
    ColorBinAxis axis("x", texts({"a", "b", "c"}), THash<QString, int>(), palette, true);
    QCOMPARE(names(axis.colors()), (QStringList{"#112233", "#445566", "#112233"}));
    const TList<TVariant> values = axis.values();
    QCOMPARE(values.size(), 3);
    QCOMPARE(values[0], TVariant("a"));
    QCOMPARE(values[1], TVariant("b"));
    QCOMPARE(values[2], *ColorBinAxis::miscValue);
    QCOMPARE(ColorBinAxis::miscValue->type, quint16(TVariant::String));
    QCOMPARE(axis.labels().toQList(), (QList<QString>{"a", "b", "Misc"}));
    QCOMPARE(axis.index(TVariant("b")), 1);
    QCOMPARE(axis.index(TVariant("z")), 2);
    QCOMPARE(axis.index(TVariant("c")), 2);
    // The replaced value has no colour of its own; "Misc" has the last one.
    QCOMPARE(axis.color(TVariant("c")), QColor(Qt::gray));
    QCOMPARE(axis.color(TVariant("Misc")).name(), QString("#112233"));
}

void ColorScaleTest::repeatedValueKeepsLaterColour()
{
    ColorBinAxis axis("x", texts({"a", "b", "a"}), THash<QString, int>(), TList<QColor>(), false);
    QCOMPARE(axis.color(TVariant("a")).name(), QString("#bebada"));
    QCOMPARE(axis.index(TVariant("a")), 0);
}

void ColorScaleTest::emptyValues()
{
    ColorBinAxis axis("x", TList<TVariant>(), THash<QString, int>(), TList<QColor>(), true);
    QVERIFY(axis.colors().isEmpty());
    QVERIFY(axis.values().isEmpty());
    QCOMPARE(axis.index(TVariant("a")), -1);
    QCOMPARE(axis.color(TVariant("a")), QColor(Qt::gray));
}

LUMIVANE_TEST(ColorScaleTest)
#include "ColorScaleTest.moc"
