#include "import/ConversationSplitter.h"

#include "core/IPacketStream.h"
#include "core/RecordSplitter.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString KEY_COLUMN = QStringLiteral("sip.Call-ID");
const int CHUNK = 1 << 22;

// Raises the soft open-file limit to the hard one where allowed; returns
// the soft limit in force afterwards (-1 for none).
qint64 raiseFileLimit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return qint64(limit.rlim_cur);
}

// The length of the valid UTF-8 character that starts at `p` (`n` bytes
// left), 0 when the byte there starts none.
int characterLength(const uchar* p, int n)
{
    const uchar c = p[0];
    if (c < 0x80)
        return 1;
    int length = 0;
    uchar low = 0x80;
    uchar high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;        // no overlong forms
        else if (c == 0xED)
            high = 0x9F;       // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;       // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (n < length || p[1] < low || p[1] > high)
        return 0;
    for (int k = 2; k < length; ++k) {
        if (p[k] < 0x80 || p[k] > 0xBF)
            return 0;
    }
    return length;
}

const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

// The characters of UTF-8 bytes, all of them: a leading byte-order mark
// stays a character (U+FEFF), where the decoder drops it, and a NUL byte
// does not end the text.
QString decodeAll(const char* bytes, int size)
{
    if (size >= 3 && std::memcmp(bytes, BYTE_ORDER_MARK, 3) == 0)
        return QChar(0xFEFF) + decodeAll(bytes + 3, size - 3);
    return QString::fromUtf8(bytes, size);
}

// True when the '%' at `at` is followed by two upper-case hex digits: a
// name could read it as the start of an escaped byte.
bool readsAsByte(const QByteArray& key, int at)
{
    const auto hexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    return at + 2 < key.size() && hexDigit(key.at(at + 1)) && hexDigit(key.at(at + 2));
}

// The text a key is named by. Read back, a name gives the key's bytes: "%XX"
// (two upper-case hex digits) stands for the byte XX, every other character
// for its UTF-8 bytes. So a valid UTF-8 key that does not start with a
// byte-order mark is named by itself, only its '%' that is followed by two
// such digits written "%25"; any other key by its characters with a
// leading mark written "%EF%BB%BF", every byte that starts no character as
// "%XX" and every '%' as "%25". Different keys give different names.
QString nameText(const QByteArray& key)
{
    const uchar* p = reinterpret_cast<const uchar*>(key.constData());
    const int size = key.size();
    const bool marked = key.startsWith(BYTE_ORDER_MARK);
    bool valid = !marked;
    bool percent = false;
    for (int at = 0; at < size && valid;) {
        const int length = characterLength(p + at, size - at);
        valid = length > 0;
        percent = percent || (p[at] == '%' && readsAsByte(key, at));
        at += length;
    }
    if (valid && !percent)
        return decodeAll(key.constData(), size);

    static const char hex[] = "0123456789ABCDEF";
    QByteArray escaped;
    escaped.reserve(size + 16);
    for (int at = 0; at < size;) {
        const int length = characterLength(p + at, size - at);
        if (length == 0 || (marked && at < 3)
            || (p[at] == '%' && (!valid || readsAsByte(key, at)))) {
            escaped.append('%');
            escaped.append(hex[p[at] >> 4]);
            escaped.append(hex[p[at] & 15]);
            ++at;
        } else {
            escaped.append(key.constData() + at, length);
            at += length;
        }
    }
    return decodeAll(escaped.constData(), escaped.size());
}

const int HASH_DIGITS = 40;   // a SHA-1 in hex

// The tail of a shortened name: "-", the hex digits of the key's hash and
// ".conv".
bool endsLikeShortened(const QString& name)
{
    const int dash = name.size() - 5 - HASH_DIGITS - 1;
    if (dash < 0 || name.at(dash) != QLatin1Char('-') || !name.endsWith(QLatin1String(".conv")))
        return false;
    for (int i = dash + 1; i < dash + 1 + HASH_DIGITS; ++i) {
        const ushort c = name.at(i).unicode();
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// The nine characters a key loses, and NUL.
bool lostInKeys(char c)
{
    switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
    case '\0':
        return true;
    default:
        return false;
    }
}

// Where the `count` characters of `text` from `at` end: a surrogate pair is
// one character, which a folder name must not cut.
int afterCharacters(const QString& text, int at, int count)
{
    for (; count > 0 && at < text.size(); --count) {
        const bool pair = text.at(at).isHighSurrogate() && at + 1 < text.size()
                          && text.at(at + 1).isLowSurrogate();
        at += pair ? 2 : 1;
    }
    return at;
}

const QString NOTHING_WRITTEN = QStringLiteral("nothing was written");
const QString OUT_OF_MEMORY = QStringLiteral("ran out of memory");
// Said instead of the whole story when there is no memory left to tell it.
const QString OUT_OF_MEMORY_NOTHING_WRITTEN = QStringLiteral("ran out of memory; nothing was written");
const QString OUT_OF_MEMORY_LEFT =
    QStringLiteral("ran out of memory; the folder could not be put back as it was");

// Debug lines. One that runs out of memory is lost, and nothing else: a
// QDebug's destructor that throws would end the program.
void debugLine(const char* text) noexcept
{
    try {
        qDebug("%s", text);
    } catch (const std::bad_alloc&) {
    }
}

void debugLine(const char* text, qint64 number) noexcept
{
    try {
        qDebug("%s%lld", text, number);
    } catch (const std::bad_alloc&) {
    }
}

void debugLine(const char* text, const QString& path, const QString& why) noexcept
{
    try {
        qDebug("%s %s %s", text, qUtf8Printable(path), qUtf8Printable(why));
    } catch (const std::bad_alloc&) {
    }
}

// Writes all of `bytes`. A write that a full disk cuts short reports no
// cause; the rest written again either goes through or fails with the
// system's.
bool writeAll(QIODevice* file, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = file->write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Writes `bytes` to a new file named after the template `spare` (which
// becomes its name), gives it `mode` and renames it to `path`. Allocates
// nothing.
bool putBack(const QByteArray& path, QByteArray& spare, const QByteArray& bytes, uint mode)
{
    const int fd = ::mkstemp(spare.data());
    if (fd < 0)
        return false;
    bool written = true;
    for (qint64 done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += n;
    }
    written = written && ::fchmod(fd, mode_t(mode)) == 0 && (::fsync(fd) == 0 || errno == EINVAL);
    written = ::close(fd) == 0 && written;
    if (written && ::rename(spare.constData(), path.constData()) == 0)
        return true;
    ::unlink(spare.constData());
    return false;
}

// "." and ".." would climb out of their folder.
QString safeFolder(const QString& part)
{
    if (part == QLatin1String(".") || part == QLatin1String(".."))
        return QString(part.size(), QLatin1Char('_'));
    return part;
}

} // namespace

ConversationSplitter::ConversationSplitter(const QString& inputPath, const QString& directory)
    : inputPath(inputPath)
    , directory(directory)
    , input(new QFile(inputPath))
{
    fileCap = capFor(raiseFileLimit());
    const long nameMax = pathconf(QFile::encodeName(directory).constData(), _PC_NAME_MAX);
    if (nameMax > 0)
        m_nameMax = int(qMin<long>(nameMax, 4096));
    inputSize = QFileInfo(inputPath).size();
}

ConversationSplitter::~ConversationSplitter()
{
    closeAll();
    delete m_header;
    delete m_emptyKey;
    delete m_decoder;
    delete input;
}

int ConversationSplitter::capFor(qint64 limit)
{
    if (limit < 0)
        return MAX_OPEN_FILES;
    return int(qBound<qint64>(1, limit - RESERVED_FILES, MAX_OPEN_FILES));
}

void ConversationSplitter::fail(const QString& text)
{
    if (errorText.isEmpty())
        errorText = text;
    else
        errorText += QStringLiteral("; ") + text;
}

bool ConversationSplitter::run()
{
    bool complete = false;
    try {
        complete = split();
    } catch (const std::bad_alloc&) {
        complete = outOfMemory();
    }
    // The records of the split are freed here, on the split's thread: the
    // window's thread, which destroys the splitter, would otherwise spend
    // tens of milliseconds on those of 20000 conversations.
    QHash<QByteArray, Written>().swap(m_written);
    QList<QByteArray>().swap(m_madeFolders);
    QSet<QString>().swap(m_folders);
    QByteArray().swap(m_buffer);
    QByteArray().swap(m_out);
    return complete;
}

ConversationSplitter::FileId ConversationSplitter::fileId(const QByteArray& path)
{
    FileId id;
    struct stat status;
    if (::stat(path.constData(), &status) == 0) {
        id.exists = true;
        id.device = quint64(status.st_dev);
        id.inode = quint64(status.st_ino);
    }
    return id;
}

bool ConversationSplitter::outOfMemory()
{
    // Ran out after the last file was in place: the split is complete.
    if (m_stage == Stage::Done
        || (m_stage == Stage::EmptyKey && !(fileId(m_emptyKeyPath) == m_emptyKeyBefore)))
        return true;
    try {
        fail(OUT_OF_MEMORY);
    } catch (const std::bad_alloc&) {
        errorText = OUT_OF_MEMORY;
    }
    rollBack();
    return false;
}

bool ConversationSplitter::split()
{
    // Whatever can refuse the split does so before D is touched: a refused
    // split changes no file of D and leaves none behind.
    const QDir target(directory);
    if (!QFileInfo(directory).isDir()) {
        fail(QStringLiteral("no folder ") + directory);
        return false;
    }
    if (!input->open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("could not read ") + inputPath + QStringLiteral(": ")
             + input->errorString());
        return false;
    }
    const bool headed = nextLine();
    if (m_readError) {
        fail(QStringLiteral("reading ") + inputPath + QStringLiteral(" failed"));
        input->close();
        return false;
    }
    if (!headed) {
        fail(QStringLiteral("the log is empty"));
        input->close();
        return false;
    }
    // Decoded with its length: a NUL byte does not end the header. Its
    // separator is the one the import reads the log with.
    const QString text = decodeAll(m_line.constData(), m_line.size());
    m_separator = IPacketStream::separatorOf(text);
    columns = TList<QString>(RecordSplitter::split(text, m_separator));
    const int keyColumn = columns.indexOf(KEY_COLUMN, 0);
    if (keyColumn < 0) {
        fail(QStringLiteral("the log has no column \"") + KEY_COLUMN + QLatin1Char('"'));
        input->close();
        return false;
    }
    const QByteArray headerLine = m_line;
    // Keys are compared by their bytes: texts that are not valid UTF-8
    // would all read as the same replacement characters.
    QList<QByteArray> fields;
    bool row = nextRow(fields);
    if (!row) {
        input->close();
        if (cancelled.load())
            fail(QStringLiteral("cancelled; ") + NOTHING_WRITTEN);
        else if (m_readError)
            fail(QStringLiteral("reading ") + inputPath + QStringLiteral(" failed"));
        else if (invalidLines == 0)
            fail(QStringLiteral("the log holds no line after its header"));
        else
            fail(QStringLiteral("no line of the log has the header's %1 fields").arg(columns.size()));
        return false;
    }
    // The header takes the place of the old one only once every line is
    // written. Like the empty key's file it is written unbuffered, as the
    // conversation files are: a write that fails says so at once and with
    // its cause (a failed flush in QSaveFile's commit() goes unnoticed).
    m_header = new QSaveFile(target.filePath(QStringLiteral("attributes.conf")));
    if (!m_header->open(QIODevice::WriteOnly | QIODevice::Unbuffered)
        || !writeAll(m_header, headerLine)) {
        fail(QStringLiteral("could not write ") + m_header->fileName() + QStringLiteral(": ")
             + m_header->errorString());
        delete m_header;
        m_header = nullptr;
        input->close();
        return false;
    }

    bool stopped = false;
    for (; row; row = nextRow(fields)) {
        if (cancelled.load(std::memory_order_relaxed))
            break;
        QByteArray key = fields.at(keyColumn);
        key.truncate(int(std::remove_if(key.begin(), key.end(), lostInKeys) - key.begin()));

        QFileDevice* file = fileFor(key);
        m_out.clear();
        if (file && file->pos() > 0)
            m_out.append('\n');
        m_out.append(m_line);
        if (!file || !writeAll(file, m_out)) {
            if (file && m_firstLost.isEmpty())
                m_firstLost = file->fileName() + QStringLiteral(": ") + file->errorString();
            stopped = true;
            break;
        }
        ++linesWritten;
        if (cache.size() >= fileCap)
            cleanup();
        if (linesWritten % 10000 == 0)
            debugLine("exported ", linesWritten);
        // Reported with every line written while the count of invalid
        // lines stands at a positive multiple of 500.
        if (invalidLines > 0 && invalidLines % 500 == 0)
            debugLine("invalid ", invalidLines);
    }

    closeAll();
    input->close();
    if (cancelled.load()) {
        fail(QStringLiteral("cancelled"));
    } else if (stopped) {
        lostLines = 1;
        fail(QStringLiteral("could not write ") + m_firstLost);
    } else if (m_readError) {
        fail(QStringLiteral("reading ") + inputPath + QStringLiteral(" failed"));
    }
    if (!errorText.isEmpty() || !commit()) {
        rollBack();
        return false;
    }
    return true;
}

bool ConversationSplitter::nextRow(QList<QByteArray>& fields)
{
    while (!cancelled.load(std::memory_order_relaxed) && nextLine()) {
        RecordSplitter::split(m_line, m_separator, fields);
        if (fields.size() == columns.size())
            return true;
        ++invalidLines;
    }
    return false;
}

bool ConversationSplitter::commit()
{
    // "attributes.conf" first: should the empty key's file then fail to
    // take its place, the old header is written back. All an undo needs
    // for that is ready before the header is replaced. It is replaced
    // where a link leads, as QSaveFile does.
    QFileInfo header(m_header->fileName());
    for (int depth = 0; depth < 128 && header.isSymLink(); ++depth)
        header.setFile(header.symLinkTarget());
    m_headerPath = QFile::encodeName(header.filePath());
    m_emptyKeyPath = QFile::encodeName(QDir(directory).filePath(QStringLiteral(".conv")));
    m_headerBefore = fileId(m_headerPath);
    QFile old(header.filePath());
    m_oldHeader = old.open(QIODevice::ReadOnly) ? old.readAll() : QByteArray();
    m_oldHeaderRead = old.isOpen() && old.error() == QFileDevice::NoError;
    old.close();
    struct stat status;
    if (::stat(m_headerPath.constData(), &status) == 0)
        m_oldHeaderMode = uint(status.st_mode & 07777);
    m_spare = m_headerPath + QByteArrayLiteral(".XXXXXX");
    m_spare.detach();
    m_emptyKeyBefore = fileId(m_emptyKeyPath);

    m_stage = Stage::Header;
    if (!commitFile(m_header))
        return false;
    m_stage = Stage::EmptyKey;
    if (!m_emptyKey) {
        // The log has no empty key: its file of an earlier split goes.
        ::unlink(m_emptyKeyPath.constData());
    } else if (!commitFile(m_emptyKey)) {
        return false;
    }
    m_stage = Stage::Done;
    return true;
}

bool ConversationSplitter::commitFile(QSaveFile* file)
{
    // Its bytes went out unbuffered; should the disk tell only now that
    // they did not fit, the cause is reported here.
    if (::fsync(file->handle()) != 0 && errno != EINVAL) {
        const int error = errno;
        fail(QStringLiteral("could not write ") + file->fileName() + QStringLiteral(": ")
             + qt_error_string(error));
        return false;
    }
    if (file->commit())
        return true;
    fail(QStringLiteral("could not write ") + file->fileName() + QStringLiteral(": ")
         + file->errorString());
    return false;
}

void ConversationSplitter::rollBack()
{
    // Nothing here allocates but for the text at the end (and what Qt's
    // closing of files might).
    try {
        closeAll();
    } catch (const std::bad_alloc&) {
    }
    try {
        input->close();
    } catch (const std::bad_alloc&) {
    }
    // Not committed: their temporary files go, the old files stay.
    delete m_header;
    m_header = nullptr;
    delete m_emptyKey;
    m_emptyKey = nullptr;

    int left = 0;
    QByteArray firstLeft;
    const auto leave = [&left, &firstLeft](const QByteArray& path) {
        if (left++ == 0)
            firstLeft = path;
    };
    struct stat status;
    if (m_stage != Stage::Writing && !(fileId(m_headerPath) == m_headerBefore)) {
        // The new header took the old one's place.
        const bool back =
            m_headerBefore.exists
                ? m_oldHeaderRead && putBack(m_headerPath, m_spare, m_oldHeader, m_oldHeaderMode)
                : ::unlink(m_headerPath.constData()) == 0;
        if (!back)
            leave(m_headerPath);
    }
    for (auto it = m_written.constBegin(); it != m_written.constEnd(); ++it) {
        const char* path = it.value().path.constData();
        const qint64 length = it.value().length;
        if (length < 0) {
            if (::unlink(path) != 0 && ::lstat(path, &status) == 0)
                leave(it.value().path);
        } else if ((::stat(path, &status) != 0 || qint64(status.st_size) != length)
                   && ::truncate(path, off_t(length)) != 0) {
            leave(it.value().path);
        }
    }
    for (int i = m_madeFolders.size() - 1; i >= 0; --i) {
        if (::rmdir(m_madeFolders.at(i).constData()) != 0)
            leave(m_madeFolders.at(i));
    }
    leftBehind = left;
    try {
        if (left == 0)
            fail(NOTHING_WRITTEN);
        else
            fail(QStringLiteral("the folder could not be put back as it was (%1 left: %2)")
                     .arg(left)
                     .arg(QFile::decodeName(firstLeft)));
    } catch (const std::bad_alloc&) {
        errorText = left == 0 ? OUT_OF_MEMORY_NOTHING_WRITTEN : OUT_OF_MEMORY_LEFT;
    }
}

bool ConversationSplitter::nextLine()
{
    if (m_decoder) {
        if (m_decoder->atEnd())
            return false;
        QString text = m_decoder->readLine();
        if (!m_decodedLine && text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        m_decodedLine = true;
        if (text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        m_line = text.toUtf8();
        bytesRead.store(input->pos(), std::memory_order_relaxed);
        return true;
    }

    bool first = m_buffer.isEmpty() && !m_inputDone && m_at == 0;
    for (;;) {
        const char* begin = m_buffer.constData() + m_at;
        const int size = m_buffer.size() - m_at;
        const void* nl = size > 0 ? std::memchr(begin, '\n', std::size_t(size)) : nullptr;
        if (nl || (m_inputDone && size > 0)) {
            int length = nl ? int(static_cast<const char*>(nl) - begin) : size;
            m_at += nl ? length + 1 : length;
            if (length > 0 && begin[length - 1] == '\r')
                --length;
            m_line = QByteArray(begin, length);
            return true;
        }
        if (m_inputDone)
            return false;
        // Keep the unread part and read the next chunk behind it.
        m_buffer.remove(0, m_at);
        m_at = 0;
        const int old = m_buffer.size();
        m_buffer.resize(old + CHUNK);
        const qint64 n = input->read(m_buffer.data() + old, CHUNK);
        m_buffer.resize(old + int(qMax<qint64>(n, 0)));
        if (n < 0)
            m_readError = true;
        if (n <= 0)
            m_inputDone = true;
        bytesRead.store(input->pos(), std::memory_order_relaxed);
        if (first && !m_buffer.isEmpty()) {
            if (m_buffer.startsWith("\xFF\xFE") || m_buffer.startsWith("\xFE\xFF")
                || m_buffer.startsWith(QByteArray("\x00\x00\xFE\xFF", 4))) {
                // A UTF-16 or UTF-32 log: decoded by a text stream, written
                // as UTF-8 like every other log.
                input->seek(0);
                m_buffer.clear();
                m_decoder = new QTextStream(input);
                return nextLine();
            }
            if (m_buffer.startsWith("\xEF\xBB\xBF"))
                m_at = 3;
            first = false;
        }
    }
}

QString ConversationSplitter::pathFor(const QByteArray& keyBytes, QString* folderOut) const
{
    QString folder = directory;
    const QString text = decodeAll(keyBytes.constData(), keyBytes.size());
    const int aEnd = afterCharacters(text, 0, 3);
    const QString a = safeFolder(text.left(aEnd));
    const QString b = safeFolder(text.mid(aEnd, afterCharacters(text, aEnd, 3) - aEnd));
    const QString key = nameText(keyBytes);
    if (!a.isEmpty())
        folder += QLatin1Char('/') + a;
    if (!b.isEmpty())
        folder += QLatin1Char('/') + b;

    QString name = key + QStringLiteral(".conv");
    int bytes = QFile::encodeName(name).size();
    // A shortened name takes the last three bytes or fewer below the
    // limit. A name of that length that ends as one does could be another
    // key's: its dash is written as the byte it is.
    if (bytes >= m_nameMax - 3 && bytes <= m_nameMax && endsLikeShortened(name)) {
        name.replace(name.size() - 5 - HASH_DIGITS - 1, 1, QStringLiteral("%2D"));
        bytes += 2;
    }
    if (bytes > m_nameMax) {
        // Shortened at a character boundary; the hash keeps long keys apart.
        const QString tail = QLatin1Char('-')
                             + QString::fromLatin1(QCryptographicHash::hash(
                                   keyBytes, QCryptographicHash::Sha1).toHex())
                             + QStringLiteral(".conv");
        const int room = m_nameMax - int(tail.size());
        int used = 0;
        int cut = 0;
        while (cut < key.size()) {
            const int step = afterCharacters(key, cut, 1) - cut;
            const int size = QFile::encodeName(key.mid(cut, step)).size();
            if (used + size > room)
                break;
            used += size;
            cut += step;
        }
        name = key.left(cut) + tail;
    }
    *folderOut = folder;
    return folder + QLatin1Char('/') + name;
}

void ConversationSplitter::makeFolder(const QString& folder)
{
    if (m_folders.contains(folder))
        return;
    // Level by level below D (its parts hold no '/'), so that an undo
    // knows what it made.
    int from = directory.size();
    while (from < folder.size()) {
        const int slash = folder.indexOf(QLatin1Char('/'), from + 1);
        const QString level = slash < 0 ? folder : folder.left(slash);
        from = slash < 0 ? folder.size() : slash;
        if (m_folders.contains(level))
            continue;
        // Noted before it is made: an undo never misses a folder.
        m_madeFolders.append(QFile::encodeName(level));
        if (::mkdir(m_madeFolders.constLast().constData(), 0777) != 0) {
            const int error = errno;
            m_madeFolders.removeLast();
            if (error != EEXIST)
                return;   // opening the file says why
        }
        m_folders.insert(level);
    }
}

QFileDevice* ConversationSplitter::fileFor(const QByteArray& key)
{
    if (key.isEmpty()) {
        // The empty key's file is replaced, once every line is written.
        if (!m_emptyKey) {
            m_emptyKey = new QSaveFile(QDir(directory).filePath(QStringLiteral(".conv")));
            if (!m_emptyKey->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                debugLine("file open not allowed", m_emptyKey->fileName(), m_emptyKey->errorString());
                m_firstLost = m_emptyKey->fileName() + QStringLiteral(": ") + m_emptyKey->errorString();
                return nullptr;
            }
        }
        return m_emptyKey;
    }
    QFile* file = cache.value(key, nullptr);
    if (!file) {
        std::unique_ptr<QFile> opened = openFile(key);
        if (!opened)
            return nullptr;
        cache.insert(key, opened.get());
        file = opened.release();
    }
    return file;
}

std::unique_ptr<QFile> ConversationSplitter::openFile(const QByteArray& key)
{
    QString folder;
    const QString path = pathFor(key, &folder);
    makeFolder(folder);
    // A file met for the first time is noted for an undo before it is
    // made or written to, with its length before the split (that of the
    // file a link leads to; the link is kept as the link it is).
    if (!m_written.contains(key)) {
        Written written;
        written.path = QFile::encodeName(path);
        struct stat status;
        if (::lstat(written.path.constData(), &status) == 0)
            written.length = ::stat(written.path.constData(), &status) == 0 ? qint64(status.st_size) : 0;
        m_written.insert(key, written);
    }
    auto file = std::make_unique<QFile>(path);
    const QIODevice::OpenMode mode = QIODevice::Append | QIODevice::Unbuffered;
    bool opened = file->open(mode);
    // Out of descriptors: the open files make room, once.
    if (!opened && (errno == EMFILE || errno == ENFILE) && !cache.isEmpty()) {
        cleanup();
        opened = file->open(mode);
    }
    if (!opened) {
        debugLine("file open not allowed", path, file->errorString());
        m_firstLost = path + QStringLiteral(": ") + file->errorString();
        return nullptr;
    }
    return file;
}

void ConversationSplitter::cleanup()
{
    debugLine("start cleanup");
    int index = 0;
    for (auto it = cache.begin(); it != cache.end(); ++it, ++index) {
        if (index % 500 == 0)
            debugLine("closed ", index);
        // Taken out first: a close that fails half way leaves no file
        // to be deleted twice.
        QFile* file = it.value();
        it.value() = nullptr;
        if (file) {
            file->close();
            delete file;
        }
    }
    cache.clear();
    debugLine("done cleanup");
}

void ConversationSplitter::closeAll()
{
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        QFile* file = it.value();
        it.value() = nullptr;
        if (file) {
            file->close();
            delete file;
        }
    }
    cache.clear();
}
