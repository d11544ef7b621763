#include "capture/PdmlTagReader.h"

#include <QIODevice>

#include <cstring>

namespace {

constexpr int CHUNK = 1 << 20;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Entities of an attribute value resolved: the five named ones and
// character references.
QString decoded(const char* raw, int size)
{
    const QString text = QString::fromUtf8(raw, size);
    if (!std::memchr(raw, '&', std::size_t(size)))
        return text;
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('&')) {
            out += text.at(i);
            continue;
        }
        const int end = text.indexOf(QLatin1Char(';'), i);
        if (end < 0) {
            out += text.mid(i);
            break;
        }
        const QStringRef entity = text.midRef(i + 1, end - i - 1);
        if (entity == QLatin1String("lt"))
            out += QLatin1Char('<');
        else if (entity == QLatin1String("gt"))
            out += QLatin1Char('>');
        else if (entity == QLatin1String("amp"))
            out += QLatin1Char('&');
        else if (entity == QLatin1String("quot"))
            out += QLatin1Char('"');
        else if (entity == QLatin1String("apos"))
            out += QLatin1Char('\'');
        else if (entity.startsWith(QLatin1Char('#'))) {
            bool ok = false;
            const uint code = entity.startsWith(QLatin1String("#x"))
                ? entity.mid(2).toUInt(&ok, 16)
                : entity.mid(1).toUInt(&ok, 10);
            if (ok && code > 0 && code <= 0x10FFFF)
                out += QString::fromUcs4(&code, 1);
        } else {
            out += text.midRef(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

} // namespace

PdmlTagReader::PdmlTagReader(QIODevice* device)
    : device(device)
{
}

bool PdmlTagReader::need(int n)
{
    while (buffer.size() - pos < n) {
        if (deviceAtEnd || !device || !device->isOpen())
            return false;
        if (pos > 0) {
            buffer.remove(0, pos);
            pos = 0;
        }
        const QByteArray more = device->read(CHUNK);
        if (more.isEmpty()) {
            deviceAtEnd = true;
            return false;
        }
        buffer += more;
    }
    return true;
}

int PdmlTagReader::find(const char* text, int from)
{
    const int length = int(std::strlen(text));
    int offset = from - pos;
    for (;;) {
        const int at = buffer.indexOf(text, pos + offset);
        if (at >= 0)
            return at;
        offset = std::max(offset, buffer.size() - pos - length + 1);
        if (!need(buffer.size() - pos + 1))
            return -1;
    }
}

PdmlTagReader::Token PdmlTagReader::fail()
{
    failed = true;
    pos = buffer.size();
    pendingEnd = false;
    return token = EndOfInput;
}

bool PdmlTagReader::isName(const char* element) const
{
    const int length = int(std::strlen(element));
    return token != EndOfInput && nameLength == length
        && std::memcmp(buffer.constData() + tagBegin, element, std::size_t(length)) == 0;
}

bool PdmlTagReader::isStart(const char* element) const
{
    return token == StartElement && isName(element);
}

PdmlTagReader::Token PdmlTagReader::next()
{
    if (failed)
        return token = EndOfInput;
    if (pendingEnd) {
        pendingEnd = false;
        openNames.chop(openLengths.takeLast());
        return token = EndElement;
    }
    for (;;) {
        const int open = find("<", pos);
        if (open < 0) {
            pos = buffer.size();
            if (!openLengths.isEmpty())
                return fail();
            return token = EndOfInput;
        }
        pos = open;
        if (!need(2))
            return fail();
        const char kind = buffer.at(pos + 1);
        const char* closer = nullptr;
        if (kind == '?')
            closer = "?>";
        else if (kind == '!') {
            need(9);
            if (buffer.mid(pos, 4) == "<!--")
                closer = "-->";
            else if (buffer.mid(pos, 9) == "<![CDATA[")
                closer = "]]>";
            else
                closer = ">";
        }
        if (closer) {
            const int end = find(closer, pos + 2);
            if (end < 0)
                return fail();
            pos = end + int(std::strlen(closer));
            continue;
        }

        // A tag: up to the ">" outside quoted values.
        int i = pos + 1;
        char quote = 0;
        for (;;) {
            if (i >= buffer.size()) {
                const int offset = i - pos;
                if (!need(offset + 1))
                    return fail();
                i = pos + offset;
            }
            const char c = buffer.at(i);
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
            ++i;
        }
        const bool closing = kind == '/';
        const bool selfClosing = !closing && buffer.at(i - 1) == '/';
        tagBegin = pos + (closing ? 2 : 1);
        tagLength = i - tagBegin - (selfClosing ? 1 : 0);
        pos = i + 1;
        const char* tagText = buffer.constData() + tagBegin;
        nameLength = 0;
        while (nameLength < tagLength && !isSpace(tagText[nameLength]))
            ++nameLength;
        if (closing) {
            // It must close the element open at this point.
            if (openLengths.isEmpty() || openLengths.last() != nameLength
                || std::memcmp(openNames.constData() + openNames.size() - nameLength, tagText,
                               std::size_t(nameLength)) != 0)
                return fail();
            openNames.chop(openLengths.takeLast());
            return token = EndElement;
        }
        openNames.append(tagText, nameLength);
        openLengths.append(nameLength);
        pendingEnd = selfClosing;
        return token = StartElement;
    }
}

QString PdmlTagReader::attribute(const char* attributeName, bool* present) const
{
    if (present)
        *present = false;
    if (token != StartElement)
        return QString();
    const char* tag = buffer.constData() + tagBegin;
    const int size = tagLength;
    const int length = int(std::strlen(attributeName));
    int i = nameLength;
    while (i < size) {
        while (i < size && isSpace(tag[i]))
            ++i;
        const int nameStart = i;
        while (i < size && tag[i] != '=' && !isSpace(tag[i]))
            ++i;
        const int nameEnd = i;
        while (i < size && (isSpace(tag[i]) || tag[i] == '='))
            ++i;
        if (i >= size)
            break;
        const char quote = tag[i];
        if (quote != '"' && quote != '\'')
            break;
        const int valueStart = i + 1;
        const char* end = static_cast<const char*>(
            std::memchr(tag + valueStart, quote, std::size_t(size - valueStart)));
        if (!end)
            break;
        const int valueEnd = int(end - tag);
        if (nameEnd - nameStart == length
            && std::memcmp(tag + nameStart, attributeName, std::size_t(length)) == 0) {
            if (present)
                *present = true;
            return decoded(tag + valueStart, valueEnd - valueStart);
        }
        i = valueEnd + 1;
    }
    return QString();
}
