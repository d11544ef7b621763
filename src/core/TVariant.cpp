#include "core/TVariant.h"

#include "core/THash.h"

#include <QLocale>
#include <QStringView>
#include <QVarLengthArray>

#include <algorithm>
#include <charconv>
#include "core/Saturate.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {


bool isAscii(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    for (int i = 0, n = bytes.size(); i < n; ++i)
        if (static_cast<unsigned char>(p[i]) >= 0x80)
            return false;
    return true;
}

// qHash of the decoded text (seed as given) without building a QString for
// plain ASCII texts, which is what nearly every attribute value is.
uint hashUtf8(const QByteArray& bytes, uint seed)
{
    const int n = bytes.size();
    if (n <= 256 && isAscii(bytes)) {
        QVarLengthArray<QChar, 256> wide(n);
        const char* p = bytes.constData();
        for (int i = 0; i < n; ++i)
            wide[i] = QLatin1Char(p[i]);
        return qHash(QStringView(wide.constData(), n), seed);
    }
    return qHash(QString::fromUtf8(bytes.constData(), bytes.size()), seed);
}

// String order: UTF-16 code units of the decoded texts. Over an ASCII common
// prefix the bytes decide: an ASCII byte is below every decoded non-ASCII
// character, and a decoded prefix is below its extension. Only past a
// non-ASCII byte are the remaining texts decoded. Texts whose decoded forms
// coincide (invalid UTF-8) fall back to their bytes, so the order agrees
// with equality.
bool utf8Less(const QByteArray& a, const QByteArray& b)
{
    const int na = a.size();
    const int nb = b.size();
    const char* pa = a.constData();
    const char* pb = b.constData();
    if (pa == pb && na == nb)
        return false;
    const int n = std::min(na, nb);
    int i = 0;
    // Eight bytes at a time while they agree and are all ASCII.
    while (i + 8 <= n) {
        quint64 wa;
        quint64 wb;
        std::memcpy(&wa, pa + i, 8);
        std::memcpy(&wb, pb + i, 8);
        if (wa != wb || ((wa | wb) & 0x8080808080808080ull) != 0)
            break;
        i += 8;
    }
    while (i < n && pa[i] == pb[i] && static_cast<unsigned char>(pa[i]) < 0x80)
        ++i;
    if (i == n && (i == na || i == nb))
        return na < nb; // one is an ASCII prefix of the other (or both equal)
    const unsigned ca = i < na ? static_cast<unsigned char>(pa[i]) : 0u;
    const unsigned cb = i < nb ? static_cast<unsigned char>(pb[i]) : 0u;
    if (i < na && i < nb && ca < 0x80 && cb < 0x80)
        return ca < cb;
    if (i == na || (ca < 0x80 && cb >= 0x80))
        return true;
    if (i == nb || (cb < 0x80 && ca >= 0x80))
        return false;
    const QString sa = QString::fromUtf8(pa + i, na - i);
    const QString sb = QString::fromUtf8(pb + i, nb - i);
    if (sa != sb)
        return sa < sb;
    return a < b;
}

// The fast paths below accept only plain forms on which they agree exactly
// with QString::toInt / toDouble (C locale); anything else takes Qt's path.
bool plainInt(QStringView s, int& out)
{
    const int n = s.size();
    if (n == 0 || n > 11)
        return false;
    const QChar* p = s.data();
    int i = 0;
    bool negative = false;
    if (p[0] == QLatin1Char('-') || p[0] == QLatin1Char('+')) {
        negative = p[0] == QLatin1Char('-');
        i = 1;
    }
    if (i == n)
        return false;
    qint64 v = 0;
    for (; i < n; ++i) {
        const ushort c = p[i].unicode();
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (negative)
        v = -v;
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    out = int(v);
    return true;
}

bool plainDouble(QStringView s, double& out)
{
    const int n = s.size();
    if (n == 0 || n > 64)
        return false;
    char buf[64];
    const QChar* p = s.data();
    int i = 0;
    int len = 0;
    if (p[0] == QLatin1Char('-'))
        buf[len++] = '-', i = 1;
    else if (p[0] == QLatin1Char('+'))
        i = 1;
    int mantissaDigits = 0;
    bool point = false;
    for (; i < n; ++i) {
        const ushort c = p[i].unicode();
        if (c >= '0' && c <= '9')
            ++mantissaDigits;
        else if (c == '.' && !point)
            point = true;
        else
            break;
        buf[len++] = char(c);
    }
    if (mantissaDigits == 0)
        return false;
    if (i < n) {
        const ushort e = p[i].unicode();
        if (e != 'e' && e != 'E')
            return false;
        buf[len++] = 'e';
        ++i;
        if (i < n && (p[i] == QLatin1Char('-') || p[i] == QLatin1Char('+')))
            buf[len++] = char(p[i++].unicode());
        int expDigits = 0;
        for (; i < n; ++i) {
            const ushort c = p[i].unicode();
            if (c < '0' || c > '9')
                return false;
            buf[len++] = char(c);
            ++expDigits;
        }
        if (expDigits == 0)
            return false;
    }
    double d = 0.0;
    const auto result = std::from_chars(buf, buf + len, d);
    if (result.ec != std::errc() || result.ptr != buf + len || !std::isfinite(d))
        return false;
    out = d;
    return true;
}

// Whether Qt's number readers could accept the text: after white space it
// starts with a digit, a sign or a point ("inf" and "nan" read as numbers
// that are not finite, which stay strings anyway). Any other text is asked
// nothing, since asking copies and scans all of it: a value of megabytes.
bool qtMayRead(QStringView s)
{
    for (const QChar c : s) {
        if (c.isSpace())
            continue;
        const ushort u = c.unicode();
        return (u >= '0' && u <= '9') || u == '+' || u == '-' || u == '.';
    }
    return false;
}

// The parsing rule: empty -> none; no '.' and a base-10 int -> int; a finite
// double -> double; exactly "true"/"false" -> bool; otherwise false (a string).
// "nan", "inf" and overflowing numbers are not finite and stay strings.
bool parseText(QStringView s, TVariant& out)
{
    if (s.isEmpty()) {
        out.type = TVariant::None;
        out.value = 0.0;
        return true;
    }
    bool ok = false;
    bool point = false;
    for (const QChar c : s) {
        if (c == QLatin1Char('.')) {
            point = true;
            break;
        }
    }
    if (!point) {
        int i = 0;
        if (plainInt(s, i)) {
            ok = true;
        } else if (qtMayRead(s)) {
            i = s.toString().toInt(&ok, 10);
        }
        if (ok) {
            out.type = TVariant::Int;
            out.value = i;
            return true;
        }
    }
    double d = 0.0;
    if (plainDouble(s, d)) {
        ok = true;
    } else if (qtMayRead(s)) {
        d = s.toString().toDouble(&ok);
    }
    if (ok && std::isfinite(d)) {
        out.type = TVariant::Double;
        out.value = d;
        return true;
    }
    if (s == QStringView(u"true")) {
        out.type = TVariant::Bool;
        out.value = 1.0;
        return true;
    }
    if (s == QStringView(u"false")) {
        out.type = TVariant::Bool;
        out.value = 0.0;
        return true;
    }
    return false;
}

// Whether a text may read as a number: only digits, signs, exponent letters
// and at most one point. Such texts are parsed before the pool is asked,
// because the pool never holds a text that reads as a number (it keeps
// strings only) and a lookup that is bound to miss costs more than the
// whole parse. Texts like addresses ("10.0.0.1") are not candidates.
bool numberCandidate(QStringView text)
{
    int points = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u >= '0' && u <= '9')
            continue;
        if (u == '.') {
            if (++points > 1)
                return false;
            continue;
        }
        if (u != '-' && u != '+' && u != 'e' && u != 'E')
            return false;
    }
    return !text.isEmpty();
}

// Rank of a tag in the total order: numbers (with none and pairs), bools, strings.
int orderGroup(quint16 type)
{
    switch (type) {
    case TVariant::Bool:
        return 1;
    case TVariant::String:
        return 2;
    default:
        return 0;
    }
}

// The UTF-8 bytes of a text in an array of exactly their size. QString's own
// conversion keeps room for three bytes per character, and a log's texts
// stay loaded for as long as the log.
QByteArray utf8Of(QStringView s)
{
    const int n = s.size();
    const QChar* p = s.data();
    int i = 0;
    while (i < n && p[i].unicode() < 0x80)
        ++i;
    if (n == 0 || i < n) {
        const QByteArray wide = s.toUtf8();
        return wide.size() == wide.capacity() ? wide : QByteArray(wide.constData(), wide.size());
    }
    QByteArray out(n, Qt::Uninitialized);
    char* d = out.data();
    for (int k = 0; k < n; ++k)
        d[k] = char(p[k].unicode());
    return out;
}

} // namespace

namespace {

// The upper bound of a pair as its text: six significant digits when they
// read back as the very same number, else as many as it takes. A range
// filter compares events with this bound, so rounding it (an epoch time of
// ten digits) would leave out events that lie inside the range.
QByteArray upperBoundText(double hi)
{
    const QString rounded = QString::number(hi, 'g', 6);
    if (!std::isfinite(hi) || rounded.toDouble() == hi)
        return rounded.toUtf8();
    return QString::number(hi, 'g', QLocale::FloatingPointShortest).toUtf8();
}

} // namespace

TVariant::TVariant(double lo, double hi)
    : value(lo), text(upperBoundText(hi)), type(Pair)
{
}

TVariant::TVariant(double v, THash<QString, TVariant>* pool) : value(v), type(Double)
{
    if (pool) {
        auto it = pool->constFind(QString::number(v, 'g', 6));
        if (it != pool->constEnd())
            *this = it.value();
    }
}

TVariant::TVariant(int i, THash<QString, TVariant>* pool) : value(i), type(Int)
{
    if (pool) {
        auto it = pool->constFind(QString::number(i));
        if (it != pool->constEnd())
            *this = it.value();
    }
}

TVariant::TVariant(const QString& s, bool parse, THash<QString, TVariant>* pool) : type(String)
{
    if (pool) {
        auto it = pool->constFind(s);
        if (it != pool->constEnd()) {
            *this = it.value();
            return;
        }
    }
    if (parse && parseText(s, *this))
        return;
    text = utf8Of(s);
    if (pool)
        (*pool)[s] = *this;
}

TVariant::TVariant(const char* bytes, bool parse, THash<QString, TVariant>* pool) : type(String)
{
    const QByteArray raw(bytes ? bytes : "");
    const QString s = QString::fromUtf8(raw.constData(), raw.size());
    if (pool) {
        auto it = pool->constFind(s);
        if (it != pool->constEnd()) {
            *this = it.value();
            return;
        }
    }
    if (parse && parseText(s, *this))
        return;
    // The string keeps the given bytes, even where they are not valid UTF-8.
    text = raw;
    if (pool)
        (*pool)[s] = *this;
}

TVariant TVariant::fromText(QStringView text, THash<QString, TVariant>* pool)
{
    if (text.isEmpty())
        return TVariant();
    if (numberCandidate(text)) {
        TVariant number;
        if (parseText(text, number) && number.type != None)
            return number;
    }
    if (pool) {
        auto it = pool->constFindText(text);
        if (it != pool->constEnd())
            return it.value();
        return TVariant(text.toString(), true, pool);
    }
    TVariant v;
    v.type = String;
    if (parseText(text, v))
        return v;
    v.text = utf8Of(text);
    return v;
}

void TVariant::fromTexts(const QStringView* texts, int count, THash<QString, TVariant>* pool,
                         TVariant* out)
{
    const auto* store = pool ? pool->hashedStore() : nullptr;
    if (!store) {
        for (int i = 0; i < count; ++i)
            out[i] = fromText(texts[i], pool);
        return;
    }
    // Three passes over a batch: values that need no pool and the hashes of
    // the others (loading their index slots), then the probes (loading the
    // found values' shared texts), then the copies. A pooled text lies
    // wherever it was made among hundreds of thousands of events, so each
    // step of a single lookup would wait for memory.
    constexpr int Batch = 32;
    uint hashes[Batch];
    std::ptrdiff_t found[Batch];
    for (int first = 0; first < count; first += Batch) {
        const int n = std::min(Batch, count - first);
        const QStringView* text = texts + first;
        TVariant* value = out + first;
        for (int i = 0; i < n; ++i) {
            found[i] = -2;   // not a pool lookup
            if (text[i].isEmpty()) {
                value[i] = TVariant();
                continue;
            }
            if (numberCandidate(text[i])) {
                TVariant number;
                if (parseText(text[i], number) && number.type != None) {
                    value[i] = number;
                    continue;
                }
            }
            hashes[i] = store->hashOf(text[i]);
            store->prefetch(hashes[i]);
            found[i] = -1;
        }
        for (int i = 0; i < n; ++i) {
            if (found[i] == -1) {
                found[i] = store->indexOf(text[i], hashes[i]);
                if (found[i] >= 0)
                    __builtin_prefetch(const_cast<QByteArray&>(store->entryAt(std::size_t(found[i])).second.text).data_ptr());
            }
        }
        for (int i = 0; i < n; ++i) {
            if (found[i] >= 0)
                value[i] = store->entryAt(std::size_t(found[i])).second;
            else if (found[i] == -1)
                // New to the pool (or added by an earlier text of this batch).
                value[i] = TVariant(text[i].toString(), true, pool);
        }
    }
}

bool TVariant::isBool() const
{
    return (type == Int || type == Bool) && (value == 0.0 || value == 1.0);
}

bool TVariant::toBool(bool* ok) const
{
    if (ok)
        *ok = type == Bool;
    return saturatedInt(value) != 0;
}

int TVariant::toInt(bool* ok) const
{
    if (ok)
        *ok = type == Int;
    return saturatedInt(value);
}

double TVariant::toDouble(bool* ok) const
{
    if (ok)
        *ok = type == Double;
    return value;
}

QPair<double, double> TVariant::toPair() const
{
    if (text.isNull())
        return qMakePair(0.0, 0.0);
    bool ok = false;
    const double hi = QString::fromUtf8(text.constData(), text.size()).toDouble(&ok);
    return qMakePair(value, ok ? hi : 0.0);
}

QString TVariant::toString() const
{
    switch (type) {
    case String:
        return QString::fromUtf8(text.constData(), text.size());
    case Bool:
        return value == 0.0 ? QStringLiteral("0") : QStringLiteral("1");
    case Int:
        return QString::number(saturatedInt(value));
    case Double:
        return QString::number(value, 'f', 6);
    case Pair:
    {
        // The bound prints with six significant digits, however exactly it is kept.
        const QString upper = QString::fromUtf8(text.constData(), text.size());
        bool ok = false;
        const double hi = upper.toDouble(&ok);
        return QLatin1Char('(') + QString::number(value, 'g', 6) + QLatin1Char(',')
            + (ok ? QString::number(hi, 'g', 6) : upper) + QLatin1Char(')');
    }
    default:
        return QString();
    }
}

bool TVariant::operator==(const TVariant& other) const
{
    if (type != other.type)
        return false;
    if (type == String) {
        if (text.constData() == other.text.constData() && text.size() == other.text.size())
            return true;
        return text.size() == other.text.size()
            && std::memcmp(text.constData(), other.text.constData(), std::size_t(text.size())) == 0;
    }
    return value == other.value;
}

bool TVariant::operator<(const TVariant& other) const
{
    const int ga = orderGroup(type);
    const int gb = orderGroup(other.type);
    if (ga != gb)
        return ga < gb;
    if (ga == 2)
        return utf8Less(text, other.text);
    // none counts as 0 whatever its field holds; NaN sorts after every number.
    const double a = type == None ? 0.0 : value;
    const double b = other.type == None ? 0.0 : other.value;
    if (std::isnan(a))
        return false;
    if (std::isnan(b))
        return true;
    return a < b;
}

uint qHash(const TVariant& v, uint seed)
{
    switch (v.type) {
    case TVariant::None:
        return 0u ^ seed;
    case TVariant::Int:
    case TVariant::Bool:
        return uint(saturatedInt(v.value)) ^ seed;
    case TVariant::Double:
        return uint(quint64(saturatedInt64(v.value)) & 0xffffffffu) ^ seed;
    case TVariant::String:
    case TVariant::Pair:
        return hashUtf8(v.text, seed);
    default:
        return uint(saturatedInt(v.value)) ^ seed;
    }
}

double roundTo(double v, int n)
{
    const double p = std::pow(10.0, n);
    const double d = v * p;
    // Qt's halves-up rounding, done in 64 bits and saturated at the range ends.
    qint64 r;
    if (std::isnan(d) || std::fabs(d) >= 4503599627370496.0)
        r = saturatedInt64(d); // from 2^52 on every double is whole already
    else if (d >= 0.0)
        r = saturatedInt64(d + 0.5);
    else
        r = saturatedInt64(d - double(qint64(d - 1)) + 0.5) + qint64(d - 1);
    return double(r) / p;
}

bool intervalsOverlap(double a, double b, double c, double d)
{
    return std::min(b, d) >= std::max(a, c);
}
