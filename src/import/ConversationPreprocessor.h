#pragma once

#include "core/TList.h"
#include "patterns/Rule.h"

#include <QString>

#include <memory>

class ControlWidget;
class GlyphStore;
class SideFile;

// Reduces a directory of conversation files (see ConversationSplitter) to one
// event log. Every conversation becomes one glyph row with the rewrite rules
// applied; it passes when every filter rule matches that row somewhere, and
// then its lines are written, byte for byte, under the header line from
// "attributes.conf". The output is that header line and "\n", then the lines
// of the passing conversations in the order the directory walk meets their
// files, "\n" between lines and none after the last.
//
// The rules run in a window-less event view's matrix cell, set so that a
// file's events form one row (conversation mode 2), without stacking or
// time window. The glyph store's event attribute tables are the
// conversation files' while the run lasts and the loaded log's again after
// it; the store's rules become the rewrite rules and stay so (glyphs they
// write that the store lacks are added to it). The caller has the views
// show and apply them.
//
// Everything runs on the calling (GUI) thread.
class ConversationPreprocessor
{
public:
    // Keeps what the run needs; the output is opened by run(), once
    // "attributes.conf" has been read.
    ConversationPreprocessor(const QString& directory, const TList<Rule>& rewriteRules,
                             const TList<Rule>& filterRules, const QString& outputPath,
                             ControlWidget* parent);
    ~ConversationPreprocessor();

    ConversationPreprocessor(const ConversationPreprocessor&) = delete;
    ConversationPreprocessor& operator=(const ConversationPreprocessor&) = delete;

    // Reads "attributes.conf" first: without it nothing happens, and the
    // output, which may be a file the user agreed to replace, is left as it
    // was. Then opens the output for writing; when that fails, a debug line
    // says so and the run writes nothing. The output is written beside an
    // old file of its name and takes its place only once complete: a run
    // that cannot write all of it leaves the old file as it was. True when
    // nothing went wrong (errorText is empty).
    bool run();

    // Why `directory` cannot be preprocessed (it is no directory, or its
    // "attributes.conf" cannot be read), or an empty text.
    static QString checkDirectory(const QString& directory);

    ControlWidget* controlWidget;   // not owned; gives the glyph store
    std::unique_ptr<SideFile> output;
    TList<Rule> rewriteRules;
    TList<Rule> filterRules;
    QString outputPath;
    QString directory;

    // The outcome of run(): conversation files read, conversations written,
    // files that could not be read, and what went wrong (empty when the
    // output holds everything it should).
    int processed = 0;
    int matched = 0;
    int unreadable = 0;
    QString errorText;

private:
    // The conversation files read, filtered and written; the store's event
    // attribute tables are the files' meanwhile. Throws std::bad_alloc.
    void transform(GlyphStore* store, const QByteArray& header);
    void fail(const QString& text);
    void write(const QByteArray& bytes);
    bool m_writeFailed = false;
    QString m_firstUnreadable;   // the first file that could not be read
};
