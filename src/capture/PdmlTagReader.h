#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// A fast forward reader of the element structure of an XML document such as
// a PDML dissection: it yields the starts and ends of elements with their
// names and the values of their attributes, and skips text, comments,
// processing instructions, CDATA sections and the document type. It checks
// no more than the nesting, which is enough to learn the structure of a
// large file before an exact reading.
class PdmlTagReader
{
public:
    enum Token { StartElement, EndElement, EndOfInput };

    explicit PdmlTagReader(QIODevice* device);

    // The next start or end of an element; a self-closing element gives its
    // start and then its end.
    Token next();
    // The name of the element of the last token.
    QByteArray name() const { return elementName; }
    bool isStart(const char* element) const { return token == StartElement && elementName == element; }
    // The value of an attribute of the last start, entities resolved; empty
    // when the element has no such attribute.
    QString attribute(const char* attributeName) const;
    // The input ended inside markup or with elements still open.
    bool hasError() const { return failed; }

private:
    // Makes sure at least `n` bytes from `pos` are in the buffer, reading
    // more when needed; false when the input has fewer.
    bool need(int n);
    // Position of `text` at or after `from` (read on as needed), or -1.
    int find(const char* text, int from);

    QIODevice* device;
    QByteArray buffer;
    int pos = 0;
    bool deviceAtEnd = false;
    Token token = EndOfInput;
    QByteArray elementName;
    QByteArray tag;   // the text of the last start tag, without "<" and ">"
    bool pendingEnd = false;
    int depth = 0;
    bool failed = false;
};
