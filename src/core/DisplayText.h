#pragma once

#include <QString>

class TVariant;

// The text a view shows for an event's value. A field of a log can hold
// megabytes; a table cell, label or tooltip given all of it spends seconds
// and gigabytes on text layout. Views show at most LIMIT characters of a
// value and an ellipsis after them; the value itself, the exports and the
// comparisons keep the whole text.
class DisplayText
{
public:
    static constexpr int LIMIT = 300;
    static const QChar ELLIPSIS;   // U+2026, ends a shortened text

    // value.toString(), shortened. Only the kept start of a stored text is
    // decoded, so a long value costs no more than a short one.
    static QString of(const TVariant& value);
    // The text itself when it has at most LIMIT characters; otherwise its
    // first LIMIT characters (one less rather than half a surrogate pair)
    // and the ellipsis.
    static QString shortened(const QString& text);
    // Whether of(value) is the whole of value.toString().
    static bool fits(const TVariant& value);
};
