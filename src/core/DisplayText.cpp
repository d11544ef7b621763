#include "core/DisplayText.h"

#include "core/TVariant.h"

#include <algorithm>

const QChar DisplayText::ELLIPSIS(0x2026);

namespace {

// The shown text of a value; *whole tells whether it is all of it.
QString cut(const TVariant& value, bool* whole)
{
    if (value.type != TVariant::String) {
        const QString text = value.toString();
        *whole = text.size() <= DisplayText::LIMIT;
        return *whole ? text : DisplayText::shortened(text);
    }
    // Each UTF-16 unit of the decoded text comes from one to four bytes: a
    // text of at most LIMIT bytes fits, and of a longer one only a start of
    // four bytes per kept unit is decoded, never the megabytes after it.
    const QByteArray& bytes = value.text;
    const int limit = DisplayText::LIMIT;
    if (bytes.size() <= limit) {
        *whole = true;
        return QString::fromUtf8(bytes.constData(), bytes.size());
    }
    const int prefix = std::min(bytes.size(), 4 * (limit + 1));
    const QString text = QString::fromUtf8(bytes.constData(), prefix);
    if (text.size() > limit) {
        *whole = false;
        return DisplayText::shortened(text);
    }
    *whole = prefix == bytes.size();
    return *whole ? text : text + DisplayText::ELLIPSIS;
}

} // namespace

QString DisplayText::of(const TVariant& value)
{
    bool whole = true;
    return cut(value, &whole);
}

QString DisplayText::shortened(const QString& text)
{
    if (text.size() <= LIMIT)
        return text;
    int keep = LIMIT;
    if (text.at(keep - 1).isHighSurrogate())
        --keep;
    return text.left(keep) + ELLIPSIS;
}

bool DisplayText::fits(const TVariant& value)
{
    bool whole = true;
    cut(value, &whole);
    return whole;
}
