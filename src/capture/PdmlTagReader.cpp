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
QString decoded(const QByteArray& raw)
{
    const QString text = QString::fromUtf8(raw);
    if (!raw.contains('&'))
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

PdmlTagReader::Token PdmlTagReader::next()
{
    if (pendingEnd) {
        pendingEnd = false;
        --depth;
        return token = EndElement;
    }
    for (;;) {
        const int open = find("<", pos);
        if (open < 0) {
            failed = failed || depth > 0;
            pos = buffer.size();
            return token = EndOfInput;
        }
        pos = open;
        if (!need(2)) {
            failed = true;
            return token = EndOfInput;
        }
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
            if (end < 0) {
                failed = true;
                pos = buffer.size();
                return token = EndOfInput;
            }
            pos = end + int(std::strlen(closer));
            continue;
        }

        // A tag: up to the ">" outside quoted values.
        int i = pos + 1;
        char quote = 0;
        for (;;) {
            if (i >= buffer.size()) {
                const int offset = i - pos;
                if (!need(offset + 1)) {
                    failed = true;
                    pos = buffer.size();
                    return token = EndOfInput;
                }
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
        tag = buffer.mid(pos + (closing ? 2 : 1), i - pos - (closing ? 2 : 1) - (selfClosing ? 1 : 0));
        pos = i + 1;
        int nameEnd = 0;
        while (nameEnd < tag.size() && !isSpace(tag.at(nameEnd)))
            ++nameEnd;
        elementName = tag.left(nameEnd);
        if (closing) {
            --depth;
            return token = EndElement;
        }
        ++depth;
        pendingEnd = selfClosing;
        return token = StartElement;
    }
}

QString PdmlTagReader::attribute(const char* attributeName) const
{
    if (token != StartElement && !pendingEnd)
        return QString();
    const int length = int(std::strlen(attributeName));
    int i = elementName.size();
    while (i < tag.size()) {
        while (i < tag.size() && isSpace(tag.at(i)))
            ++i;
        const int nameStart = i;
        while (i < tag.size() && tag.at(i) != '=' && !isSpace(tag.at(i)))
            ++i;
        const int nameEnd = i;
        while (i < tag.size() && (isSpace(tag.at(i)) || tag.at(i) == '='))
            ++i;
        if (i >= tag.size())
            break;
        const char quote = tag.at(i);
        if (quote != '"' && quote != '\'')
            break;
        const int valueStart = i + 1;
        const int valueEnd = tag.indexOf(quote, valueStart);
        if (valueEnd < 0)
            break;
        if (nameEnd - nameStart == length
            && std::memcmp(tag.constData() + nameStart, attributeName, std::size_t(length)) == 0)
            return decoded(tag.mid(valueStart, valueEnd - valueStart));
        i = valueEnd + 1;
    }
    return QString();
}
