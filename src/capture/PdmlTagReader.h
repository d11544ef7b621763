#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

class QIODevice;

// A fast forward reader of the elements of an XML document such as a PDML
// dissection: it yields the starts and ends of elements with their names
// and the values of their attributes, and skips text, comments, processing
// instructions, CDATA sections and the document type. It checks that every
// end tag closes the element open at that point and that the input does not
// end inside markup or with elements open; it reads UTF-8.
class PdmlTagReader
{
public:
    enum Token { StartElement, EndElement, EndOfInput };

    explicit PdmlTagReader(QIODevice* device);

    // The next start or end of an element; a self-closing element gives its
    // start and then its end. After an error only EndOfInput comes.
    Token next();
    // Whether the last token is the start of an element of that name.
    bool isStart(const char* element) const;
    bool isName(const char* element) const;
    // The value of an attribute of the last start, entities resolved; empty
    // when the element has no such attribute. With `present`, whether it has.
    QString attribute(const char* attributeName, bool* present = nullptr) const;
    // The input ended inside markup, with elements still open, or an end
    // tag did not match its start.
    bool hasError() const { return failed; }

private:
    // Makes sure at least `n` bytes from `pos` are in the buffer, reading
    // more when needed; false when the input has fewer.
    bool need(int n);
    // Position of `text` at or after `from` (read on as needed), or -1.
    int find(const char* text, int from);
    Token fail();

    QIODevice* device;
    QByteArray buffer;
    int pos = 0;
    bool deviceAtEnd = false;
    Token token = EndOfInput;
    // The last tag's text in the buffer (without "<", "</", "/>" or ">")
    // and the length of its name; valid until the next call of next().
    int tagBegin = 0;
    int tagLength = 0;
    int nameLength = 0;
    bool pendingEnd = false;
    // The names of the open elements, one after the other.
    QByteArray openNames;
    QVector<int> openLengths;
    bool failed = false;
};
