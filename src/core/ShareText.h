#pragma once

#include <QString>

// A share of a count in percent as the status lines show it: to a tenth of
// a percent, halves rounded up. A share that is not 0 but rounds to 0 shows
// as the bound it lies under, "<0.05", never as 0.
class ShareText
{
public:
    // part of whole in percent; "0" for no part or no whole.
    static QString percent(qint64 part, qint64 whole);

    ShareText() = delete;
};
