#include "import/ConversationPreprocessor.h"

#include "app/ControlWidget.h"
#include "core/CSVPacketStream.h"
#include "core/Packet.h"
#include "core/RecordSplitter.h"
#include "core/SideFile.h"
#include "model/GlyphStore.h"
#include "patterns/Automaton.h"
#include "patterns/ParseNode.h"
#include "patterns/RuleMatcher.h"
// The rules run the way the event matrix runs them: in a matrix cell of a
// (window-less) event view.
#include "views/events/BinCell.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// The lines of a file's bytes: "\n" separates them, a final "\n" ends the
// last one, and a '\r' before a "\n" belongs to the line end.
QList<QByteArray> splitLines(const QByteArray& data)
{
    QList<QByteArray> lines;
    const char* begin = data.constData();
    const int size = data.size();
    int at = 0;
    while (at < size) {
        const void* nl = std::memchr(begin + at, '\n', std::size_t(size - at));
        int end = nl ? int(static_cast<const char*>(nl) - begin) : size;
        const int next = end + 1;
        if (end > at && begin[end - 1] == '\r')
            --end;
        lines.append(QByteArray(begin + at, end - at));
        at = next;
    }
    return lines;
}

} // namespace

ConversationPreprocessor::ConversationPreprocessor(const QString& directory,
                                                   const TList<Rule>& rewriteRules,
                                                   const TList<Rule>& filterRules,
                                                   const QString& outputPath,
                                                   ControlWidget* parent)
    : controlWidget(parent)
    , output(new SideFile(outputPath))
    , rewriteRules(rewriteRules)
    , filterRules(filterRules)
    , outputPath(outputPath)
    , directory(directory)
{
}

ConversationPreprocessor::~ConversationPreprocessor() = default;

void ConversationPreprocessor::fail(const QString& text)
{
    if (errorText.isEmpty())
        errorText = text;
    else
        errorText += QStringLiteral("; ") + text;
}

void ConversationPreprocessor::write(const QByteArray& bytes)
{
    if (m_writeFailed)
        return;
    if (!output->write(bytes)) {
        m_writeFailed = true;
        fail(QStringLiteral("writing ") + outputPath + QStringLiteral(" failed: ")
             + output->errorString());
    }
}

QString ConversationPreprocessor::checkDirectory(const QString& directory)
{
    if (!QFileInfo(directory).isDir())
        return QStringLiteral("no folder ") + directory;
    const QString attributesPath = QDir(directory).filePath(QStringLiteral("attributes.conf"));
    QFile attributes(attributesPath);
    if (!attributes.open(QIODevice::ReadOnly)) {
        qDebug().noquote().nospace() << "could not load attributes " << attributesPath << " "
                                     << attributes.errorString();
        return QStringLiteral("could not read ") + attributesPath + QStringLiteral(": ")
               + attributes.errorString();
    }
    return QString();
}

bool ConversationPreprocessor::run()
{
    GlyphStore* store = controlWidget ? controlWidget->glyphStore : nullptr;
    if (!store)
        return false;

    const QString problem = checkDirectory(directory);
    if (!problem.isEmpty()) {
        fail(problem);
        return false;
    }
    QFile attributes(QDir(directory).filePath(QStringLiteral("attributes.conf")));
    if (!attributes.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("could not read ") + attributes.fileName() + QStringLiteral(": ")
             + attributes.errorString());
        return false;
    }
    const QList<QByteArray> headerLines = splitLines(attributes.readAll());
    attributes.close();
    const QByteArray header = headerLines.isEmpty() ? QByteArray() : headerLines.first();

    // Written beside an old output, which it replaces only once complete:
    // a run that cannot write all of it leaves the old file as it was.
    if (!output->open(false)) {
        qDebug().noquote() << "Not allowed to write file" << outputPath << output->errorString();
        fail(QStringLiteral("could not write ") + outputPath + QStringLiteral(": ")
             + output->errorString());
        m_writeFailed = true;
    }

    // The views still show the loaded log: its attribute tables come back
    // after the run. The glyphs and rules that the run adopts stay, unless
    // it runs out of memory: then all of it comes back as it was, and the
    // old output too.
    TList<QString> savedNames = store->packetAttributeNames;
    THash<QString, int> savedColumns = store->attributeColumns;
    TList<BinItem> savedGlyphs = store->glyphs;
    TList<BinItem> savedColorGlyphs = store->colorGlyphs;
    TList<Rule> savedRules = store->rules;
    const int savedNextId = nextGlyphId;
    const auto tablesBack = [&]() noexcept {
        store->packetAttributeNames.items.swap(savedNames.items);
        std::swap(store->attributeColumns, savedColumns);
    };
    try {
        transform(store, header);
    } catch (const std::bad_alloc&) {
        tablesBack();
        store->glyphs.items.swap(savedGlyphs.items);
        store->colorGlyphs.items.swap(savedColorGlyphs.items);
        store->rules.items.swap(savedRules.items);
        nextGlyphId = savedNextId;
        output->cancel();
        throw;
    }
    tablesBack();

    if (m_writeFailed) {
        output->cancel();
    } else if (!output->commit()) {
        m_writeFailed = true;
        fail(QStringLiteral("writing ") + outputPath + QStringLiteral(" failed: ")
             + output->errorString());
    }
    if (unreadable > 0) {
        fail(QString::number(unreadable) + QStringLiteral(" conversation files could not be read (")
             + m_firstUnreadable + QLatin1Char(')'));
    }
    return errorText.isEmpty();
}

void ConversationPreprocessor::transform(GlyphStore* store, const QByteArray& header)
{
    // Names are decoded as UTF-8 and separated as the import reads them
    // (the lines are those of the log the folder was split from); the line
    // itself is copied as it is.
    const QString headerText = QString::fromUtf8(header.constData(), header.size());
    const char separator = IPacketStream::separatorOf(headerText);
    const QList<QString> names = RecordSplitter::split(headerText, separator);
    // Overview passes read the tables. The run gives the event loop no turn:
    // none starts again before the loaded log's tables are back.
    EventOverviewWidget::cancelAllPasses();
    store->packetAttributeNames.clear();
    store->attributeColumns.clear();
    for (int i = 0; i < names.size(); ++i) {
        store->attributeColumns[names.at(i)] = i;
        store->packetAttributeNames.append(names.at(i));
    }
    write(header + '\n');

    // The rule engine: one cell of a window-less event view, all of a
    // file's events in one row, every rule applied, no time window.
    EventWidget view(controlWidget, nullptr, 0, nullptr);
    view.context = store->rootContext;
    BinCell cell(controlWidget, &view, QStringLiteral("dummy"), &view);
    cell.conversationMode = 2;
    cell.stacked = false;
    cell.timeFrom = 0.0;
    cell.timeTo = std::numeric_limits<double>::max();
    cell.showLabels = false;
    cell.showPopups = false;
    RuleMatcher matcher(controlWidget);

    // A filter rule that is hidden, or has no precondition, matches nothing.
    std::vector<std::unique_ptr<Automaton>> filters;
    filters.reserve(std::size_t(filterRules.size()));
    for (const Rule& rule : filterRules)
        filters.emplace_back(rule.visible && rule.pre ? matcher.compile(rule.pre, rule.post)
                                                      : new Automaton);
    // The cell applies the store's rules; they stay the session's rules,
    // their rewrite glyphs among the store's glyphs as after a rules import.
    store->adoptRewriteGlyphs(rewriteRules);
    store->rules = rewriteRules;

    const TList<QString> columns = store->packetAttributeNames;
    bool firstLine = true;
    QDirIterator walk(directory, QStringList{QStringLiteral("*.conv")},
                      QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString path = walk.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            qDebug().noquote().nospace() << "could not open file " << path << " "
                                         << file.errorString();
            if (m_firstUnreadable.isEmpty())
                m_firstUnreadable = path + QStringLiteral(": ") + file.errorString();
            ++unreadable;
            continue;
        }
        const QList<QByteArray> lines = splitLines(file.readAll());

        // Every line is one event of the file's one conversation.
        CSVPacketStream stream(&file, columns);
        stream.setSeparator(separator);
        TList<QSharedPointer<Packet>> packets;
        packets.items.reserve(std::size_t(lines.size()));
        for (const QByteArray& line : lines)
            packets.append(stream.readPacket(QString::fromUtf8(line.constData(), line.size())));
        cell.conversations.clear();
        cell.conversationSlots.clear();
        cell.nextSlot = 0;
        cell.addPackets(packets);
        cell.buildData(false);

        bool rejected = false;
        if (!cell.rows.isEmpty()) {
            const TList<BinItem*>& row = cell.rows.first();
            for (int i = 0; i < filterRules.size() && !rejected; ++i) {
                const TList<TList<BinItem*>> found =
                    matcher.findMatches(filters[std::size_t(i)].get(), row, filterRules.at(i).match, true);
                rejected = found.isEmpty();
            }
        }
        if (!rejected) {
            ++matched;
            for (const QByteArray& line : lines) {
                if (!firstLine)
                    write(QByteArray(1, '\n'));
                write(line);
                firstLine = false;
            }
        }
        file.close();
        // Both counts are reported after every file whenever they stand at a
        // multiple of 500 (the processed count before this file is added).
        if (processed % 500 == 0)
            qDebug().noquote().nospace() << "processed " << processed;
        if (matched % 500 == 0)
            qDebug().noquote().nospace() << "matched " << matched;
        ++processed;
    }
    qDebug().noquote().nospace() << "Reduction " << processed << " to " << matched;

    // The events of the last file go with the rows.
    cell.clearData();
    cell.conversations.clear();

}
