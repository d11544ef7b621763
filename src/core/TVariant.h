#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QStringView>

template <typename K, typename V>
class THash;

// The value of one attribute of one event, and the key of every histogram.
// 24 bytes: the number, a shared immutable UTF-8 text and a 16-bit tag.
// Copies share the text by reference count; nothing ever changes a text.
class TVariant
{
public:
    // Tag numbers are fixed (stored nowhere, but the ordering groups by them).
    enum Type : quint16 { None = 0, Int = 1, Bool = 2, String = 3, Double = 4, Pair = 5 };

    TVariant() = default;
    // A pair (a numeric range): lo in `value`, hi printed with 6 significant digits in `text`.
    TVariant(double lo, double hi);
    explicit TVariant(double v, THash<QString, TVariant>* pool = nullptr);
    explicit TVariant(int i, THash<QString, TVariant>* pool = nullptr);
    explicit TVariant(const QString& text, bool parse = true, THash<QString, TVariant>* pool = nullptr);
    explicit TVariant(const char* text, bool parse = true, THash<QString, TVariant>* pool = nullptr);

    // The value TVariant(text.toString(), true, pool) gives, without making a
    // QString when the text reads as a number or the pool holds it already.
    static TVariant fromText(QStringView text, THash<QString, TVariant>* pool);
    // fromText() of each of `count` texts into out[0 .. count - 1]; the pool
    // lookups of the texts overlap instead of waiting one after the other.
    static void fromTexts(const QStringView* texts, int count, THash<QString, TVariant>* pool,
                          TVariant* out);

    TVariant(const TVariant&) = default;
    TVariant(TVariant&&) noexcept = default;
    TVariant& operator=(const TVariant&) = default;
    TVariant& operator=(TVariant&&) noexcept = default;
    ~TVariant() = default;

    bool isValid() const { return type != None; }
    bool isNumber() const { return type == Int || type == Double; }
    bool isBool() const;
    bool isPair() const { return type == Pair; }

    bool toBool(bool* ok = nullptr) const;
    int toInt(bool* ok = nullptr) const;
    double toDouble(bool* ok = nullptr) const;
    QPair<double, double> toPair() const;
    QString toString() const;

    bool operator==(const TVariant& other) const;
    bool operator!=(const TVariant& other) const { return !(*this == other); }
    // A total order: none, ints, doubles and pairs together by number (none
    // counts as 0, NaN after every number), then bools, then strings.
    bool operator<(const TVariant& other) const;

    double value = 0.0;
    QByteArray text;     // null for none, int, bool and double
    quint16 type = None;
};

Q_DECLARE_TYPEINFO(TVariant, Q_MOVABLE_TYPE);
Q_DECLARE_METATYPE(TVariant)

// May throw std::bad_alloc: a text that is not short ASCII is hashed
// through a QString made for it.
uint qHash(const TVariant& v, uint seed = 0);

// v rounded to n decimals, halves toward plus infinity (2.5 -> 3, -2.5 -> -2).
double roundTo(double v, int n);
// Whether the closed intervals [a, b] and [c, d] meet (touching counts).
bool intervalsOverlap(double a, double b, double c, double d);
