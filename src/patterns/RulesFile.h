#pragma once

#include <QByteArray>
#include <QString>

#include "core/TList.h"
#include "patterns/Rule.h"

// The rules of a rules file's text, one rule a line (Rule::fromString).
// Lines are separated by "\n"; a carriage return is dropped only where it
// ends a line. Blank lines hold no rule and are passed over; every other
// line that holds no rule (fewer than four "~"-separated fields, a side
// that does not read) is skipped and counted, the first few of them with a
// debug line each. Every reader of rules files goes through here, so that
// they agree on what a file holds.
class RulesFile
{
public:
    // The bytes of a file: Latin-1 text up to the first zero byte.
    static RulesFile fromBytes(const QByteArray& bytes);
    static RulesFile fromText(const QString& text);

    // Nothing to read: the input is nothing but blanks and line breaks.
    // (A file is not blank when bytes stand after a zero byte that ends its
    // text first.) A blank file is a set without rules; any other file
    // without a readable rule is no rules file.
    bool blank() const { return isBlank; }
    // "1 line could not be read and was skipped" or "N lines could not be
    // read and were skipped"; empty when nothing was skipped.
    QString skippedText() const;
    // "1 rule was" or "N rules were", for the rules read.
    QString rulesText() const;

    TList<Rule> rules;   // in file order
    int skipped = 0;     // lines with text that hold no rule

private:
    void readLines(const QString& text);

    bool isBlank = true;
};
