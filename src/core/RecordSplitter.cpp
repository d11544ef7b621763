#include "core/RecordSplitter.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

QList<QString> RecordSplitter::split(const QString& line, char separator)
{
    QList<QString> fields;
    split(line, separator, fields);
    return fields;
}

namespace {

// The fields of a text (QString) or of bytes (QByteArray), as the class
// comment says; `Unit` is the type of one element, QChar or char.
template <typename Text, typename Unit>
void splitFields(const Text& line, Unit sep, Unit quote, QList<Text>& fields)
{
    fields.clear();
    const auto* data = line.constData();
    const int size = line.size();

    if (line.indexOf(quote) < 0) {
        // Most lines hold no quote at all: cut them at the separators.
        int start = 0;
        for (int i = 0; i < size; ++i) {
            if (data[i] == sep) {
                fields.append(Text(data + start, i - start));
                start = i + 1;
            }
        }
        fields.append(Text(data + start, size - start));
        return;
    }

    Text field;
    bool quoted = false;
    for (int i = 0; i < size; ++i) {
        const auto c = data[i];
        if (c == quote) {
            quoted = !quoted;
        } else if (c == sep && !quoted) {
            fields.append(field);
            field.clear();
        } else {
            field.append(c);
        }
    }
    fields.append(field);
}

} // namespace

void RecordSplitter::split(const QString& line, char separator, QList<QString>& fields)
{
    splitFields(line, QChar(QLatin1Char(separator)), QChar(QLatin1Char('"')), fields);
}

void RecordSplitter::split(const QByteArray& line, char separator, QList<QByteArray>& fields)
{
    splitFields(line, separator, '"', fields);
}

void RecordSplitter::split(const QString& line, char separator, std::vector<QStringView>& views,
                           QList<QString>& storage, int maxFields)
{
    views.clear();
    // Fields before the last one allowed.
    const std::size_t cut = maxFields > 0 ? std::size_t(maxFields - 1) : std::size_t(-1);
    const QChar* data = line.constData();
    if (cut == 0) {
        views.emplace_back(data, qsizetype(line.size()));
        return;
    }
    // constData(), not utf16(): the latter copies a line made with fromRawData.
    const ushort* units = reinterpret_cast<const ushort*>(line.constData());
    const int size = line.size();
    const ushort sep = ushort(uchar(separator));
    const ushort quote = '"';
    // Without quotes every field is a stretch of the line as it is. The
    // line is scanned eight units at a time for separators and quotes; a
    // quote anywhere sends it to the quote-aware split.
    int start = 0;
    int i = 0;
#ifdef __SSE2__
    const __m128i seps = _mm_set1_epi16(short(sep));
    const __m128i quotes = _mm_set1_epi16(short(quote));
    for (; i + 8 <= size; i += 8) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(chunk, quotes)))
            goto quoted;
        unsigned hits = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(chunk, seps)));
        while (hits) {
            const int at = i + __builtin_ctz(hits) / 2;
            views.emplace_back(data + start, qsizetype(at - start));
            start = at + 1;
            if (views.size() == cut)
                goto rest;
            hits &= hits - 1;
            hits &= hits - 1;   // both bytes of the unit
        }
    }
#endif
    for (; i < size; ++i) {
        if (units[i] == quote)
            goto quoted;
        if (units[i] == sep) {
            views.emplace_back(data + start, qsizetype(i - start));
            start = i + 1;
            if (views.size() == cut)
                goto rest;
        }
    }
rest:
    views.emplace_back(data + start, qsizetype(size - start));
    return;

quoted:
    // The unquoted texts of the fields, one after the other in one string
    // (never longer than the line, so it is sized once and the views into
    // it stay put).
    views.clear();
    storage.clear();
    storage.append(QString(size, Qt::Uninitialized));
    ushort* out = reinterpret_cast<ushort*>(storage.last().data());
    const QChar* text = storage.last().constData();
    int length = 0;
    int fieldStart = 0;
    bool inQuotes = false;
    for (int k = 0; k < size; ++k) {
        const ushort u = units[k];
        if (u == quote) {
            inQuotes = !inQuotes;
        } else if (u == sep && !inQuotes) {
            views.emplace_back(text + fieldStart, qsizetype(length - fieldStart));
            fieldStart = length;
            if (views.size() == cut) {
                views.emplace_back(data + k + 1, qsizetype(size - k - 1));
                return;
            }
        } else {
            out[length++] = u;
        }
    }
    views.emplace_back(text + fieldStart, qsizetype(length - fieldStart));
}
