#pragma once

#include "core/THash.h"
#include "core/TList.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QFile;
class QFileDevice;
class QSaveFile;
class QTextStream;

// Splits a SIP event log into one file per conversation. The target
// directory D receives "attributes.conf" (the header line, without a line
// end) and, for every value K of the column "sip.Call-ID", the file
// D/A/B/K.conv with A = K's first three and B its next three characters
// (a character outside the Basic Multilingual Plane counts as one); it
// holds the log's lines with that key in log order, "\n" between them and
// none after the last. The lines are copied byte for byte. The log's
// fields are separated as the import reads them: by ',' unless the header
// line has none but a ';'.
//
// Keys are told apart by their bytes: a name that is not shortened reads
// back as its key, "%XX" (two upper-case hex digits) standing for the byte
// XX and every other character for its UTF-8 bytes. A valid UTF-8 key is named by itself, only
// a '%' followed by two such digits written "%25". A key that is not valid
// UTF-8, or starts with a byte-order mark (EF BB BF), is named with that
// mark written as "%EF%BB%BF", each byte that starts no character as "%XX"
// and each '%' as "%25"; its folders A and B are those of its text, where
// such bytes read as replacement characters and the mark as the character
// U+FEFF.
//
// A key loses the characters \ / : * ? " < > | and NUL; a folder part "."
// or ".." becomes "_" or "__" so that nothing lands outside D; a file name
// longer than the file system allows is shortened and ends in "-", the hex
// digits of a hash of the whole key and ".conv" (a name that ends so without
// being shortened, and is as long as such a name, has that "-" written
// "%2D"). Splitting again into the same directory replaces
// "attributes.conf" and the empty key's ".conv" and appends to the other
// conversation files.
//
// A split that is refused (the log cannot be read, is empty, has no data
// row or no key column, D is no folder or its "attributes.conf" cannot be
// written) changes no file of D. A split that fails on the way (a file
// that cannot be written, the log that cannot be read on, a cancel) leaves
// D as it was: the files it appended to are cut back to their earlier
// length, the files and folders it made are removed, and "attributes.conf"
// and ".conv" are replaced only once every line is written. Running out of
// memory is such a failure: run() catches it and undoes what it wrote. The
// undo allocates nothing but for its message; what it could not put back
// is counted in `leftBehind` and named in the error text.
//
// Conversation files stay open between lines, up to a cap below the
// process's open-file limit; then all of them are closed and reopened on
// demand.
//
// run() may run on a thread of its own: `cancelled` and `bytesRead` are
// the ones to touch from another thread meanwhile.
class ConversationSplitter
{
public:
    // Open conversation files at most, whatever the limit.
    static constexpr int MAX_OPEN_FILES = 50000;
    // Descriptors left to the rest of the program.
    static constexpr int RESERVED_FILES = 64;

    // Raises the process's soft open-file limit to its hard one where
    // allowed and sets `fileCap` from the limit.
    ConversationSplitter(const QString& inputPath, const QString& directory);
    ~ConversationSplitter();

    ConversationSplitter(const ConversationSplitter&) = delete;
    ConversationSplitter& operator=(const ConversationSplitter&) = delete;

    // Performs the split; true when every line went where it belongs
    // (lines with the wrong number of fields are counted and skipped, which
    // is no failure). Otherwise `errorText` says what went wrong, and D is
    // as it was (or the text says what could not be put back).
    bool run();

    // The cap for a given open-file limit: min(50000, limit - 64), at least 1.
    static int capFor(qint64 limit);

    QString inputPath;
    QString directory;
    QFile* input = nullptr;                  // owned
    THash<QByteArray, QFile*> cache;         // key -> open conversation file (owned)
    TList<QString> columns;                  // the header's names

    // Set by another thread to stop the split; it then leaves D as it was.
    std::atomic<bool> cancelled{false};
    // How far the split has read: bytes of the log, of `inputSize`.
    std::atomic<qint64> bytesRead{0};
    qint64 inputSize = 0;

    // The outcome of run().
    qint64 linesWritten = 0;
    qint64 invalidLines = 0;
    // The line the split stopped at, when it could not be written (0 or 1).
    qint64 lostLines = 0;
    QString errorText;
    // Files and folders a failed split could not put back as they were.
    int leftBehind = 0;
    // Open conversation files at most; a test may lower it.
    int fileCap = MAX_OPEN_FILES;

private:
    // A file as it stands: whether it exists and which one it is.
    struct FileId
    {
        bool exists = false;
        quint64 device = 0;
        quint64 inode = 0;
        bool operator==(const FileId& other) const
        {
            return exists == other.exists && device == other.device && inode == other.inode;
        }
    };
    // A conversation file the split writes to: its path (encoded) and its
    // length before the split (-1: the split made it).
    struct Written
    {
        QByteArray path;
        qint64 length = -1;
    };
    // How far putting "attributes.conf" and ".conv" in place has come.
    enum class Stage { Writing, Header, EmptyKey, Done };

    // The file at `path` (encoded), a link followed.
    static FileId fileId(const QByteArray& path);
    // run() but for running out of memory.
    bool split();
    // Undoes what the split wrote after running out of memory, unless all
    // of it was in place already (then true).
    bool outOfMemory();
    bool nextLine();
    // The next line with as many fields as the header, split into `fields`;
    // false at the end of the log (or when cancelled).
    bool nextRow(QList<QByteArray>& fields);
    // The key's open file, opened (and noted for an undo) when needed.
    QFileDevice* fileFor(const QByteArray& key);
    std::unique_ptr<QFile> openFile(const QByteArray& key);
    QString pathFor(const QByteArray& key, QString* folder) const;
    // Makes the folder's missing levels below D, noting those it made.
    void makeFolder(const QString& folder);
    // Puts "attributes.conf" and the empty key's file in place.
    bool commit();
    // Puts one of them in place; false (and why in the error text) when
    // it could not.
    bool commitFile(QSaveFile* file);
    // Undoes what the split wrote; the error text ends by saying so. Never
    // throws; allocates only for the text.
    void rollBack();
    void cleanup();
    void closeAll();
    void fail(const QString& text);

    // The current line: its bytes (without the line end).
    QByteArray m_line;
    // Input read in chunks; `m_at` is the start of the unread bytes.
    QByteArray m_buffer;
    int m_at = 0;
    bool m_inputDone = false;
    bool m_readError = false;
    QTextStream* m_decoder = nullptr;        // owned; UTF-16 and UTF-32 logs
    bool m_decodedLine = false;              // the decoder gave a line
    char m_separator = ',';
    QByteArray m_out;                        // reused for every write
    QSet<QString> m_folders;                 // folders known to exist
    int m_nameMax = 255;
    QString m_firstLost;                     // the failed file and why
    // The new "attributes.conf" and empty key's file, put in place last.
    QSaveFile* m_header = nullptr;
    QSaveFile* m_emptyKey = nullptr;
    Stage m_stage = Stage::Writing;
    // The files put in place (encoded; "attributes.conf" as the file a link
    // leads to), and what stood there before they were.
    QByteArray m_headerPath;
    QByteArray m_emptyKeyPath;
    FileId m_headerBefore;
    FileId m_emptyKeyBefore;
    // The old "attributes.conf", should it have to be written back: its
    // bytes (when they could be read), its mode and a name to write it to
    // first.
    QByteArray m_oldHeader;
    bool m_oldHeaderRead = false;
    uint m_oldHeaderMode = 0644;
    QByteArray m_spare;
    // What an undo needs: each key's file, and the folders the split made
    // (encoded), in order. An entry is made before what it undoes.
    QHash<QByteArray, Written> m_written;
    QList<QByteArray> m_madeFolders;
};
