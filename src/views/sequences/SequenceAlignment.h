#pragma once

// Profile-to-profile alignment of glyph sequences, the step of the
// progressive multiple sequence alignment of the sequence view
// (SequenceWidget::computeAlignment walks the guide tree with it).
//
// A profile is a list of rows of equal length; column k is the k-th entry
// of every row. Glyphs are compared by name; a null entry counts under the
// empty name in column scores and as no entry in gap scores. The gaps of a
// result are one new item named "<dummy>" that stands at every gap position
// of its rows (none when there is no gap), owned by whoever receives the
// result. Input glyphs are never copied or changed.

#include "core/TList.h"

#include <QString>

class BinItem;

// Process-wide costs, both -1 at start; the sequence ribbon stores the
// negated value of its "gap penalty:" and "substitute penalty:" spin boxes
// (0 to 99). Read anew by every score.
extern qint32 insertionCost;
extern qint32 substitutionCost;

// The name of the gap glyphs.
extern const QString GAP_GLYPH_NAME;

// Aligns profiles a and b and returns exactly two profiles of one length:
// a's rows aligned (in a's order), then b's rows aligned. Throws the
// out-of-range error of TList for a profile without rows or with a row
// shorter than its first. Writes one debug line "i j" per step of the walk
// back through the score table.
TList<TList<TList<BinItem*>>> alignProfiles(const TList<TList<BinItem*>>& a,
                                            const TList<TList<BinItem*>>& b);

// Score of putting column i of a and column j of b into one column: matching
// row pairs count 1, the others substitutionCost; column 0 against column 0
// scores every pair 1, column 0 against another column every pair
// substitutionCost, whatever the names.
double columnScore(const TList<TList<BinItem*>>& a, const TList<TList<BinItem*>>& b, int i,
                   int j);

// Gap increment from columns a and b of profile p: insertionCost times the
// rows holding a glyph at both columns, counted through the keys
// "name at a" + "," + "name at b" (names holding "," can make two pairs of
// names meet in one key, which is then counted once per such pair).
double gapScore(const TList<TList<BinItem*>>& p, int a, int b);
