#include "capture/WiresharkTerminalStream.h"

#include "app/MessageAsker.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "core/OnExit.h"

#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStringList>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdio>
#include <memory>
#include <new>

namespace {

const QString CREATE_FAILED =
    QStringLiteral("The file could not be created. Is in use by another process");
const QString START_FAILED = QStringLiteral("Error. Parse did not complete. Wireshark returned: \n \n ");

// Longest console line the field list may make (the estimate below).
constexpr int COMMAND_LIMIT = 8190;

// Pause after each batch of tshark's output, in microseconds.
constexpr unsigned long BATCH_PAUSE_US = 2000;

QString decodeUpToNul(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

void warn(const QString& text, QWidget* parent)
{
    MessageAsker::ask(QMessageBox::Warning, PRODUCT_NAME, text, QMessageBox::Ok, parent);
}

} // namespace

WiresharkTerminalStream::WiresharkTerminalStream(QString path, TList<QString> fields)
{
    // Written beside the output and put in its place on success only. Built
    // whole or not at all: a failure here leaves no temporary file behind.
    std::unique_ptr<QSaveFile> file(new QSaveFile(path));
    if (file->open(QIODevice::WriteOnly)) {
        std::unique_ptr<QTextStream> text(new QTextStream(file.get()));
        text->setCodec(QTextCodec::codecForName("UTF-8"));
        std::unique_ptr<QProcess> tshark(new QProcess);
        attributes = fields;
        out = text.release();
        process = tshark.release();
    }
    outputFile = file.release();
}

WiresharkTerminalStream::~WiresharkTerminalStream()
{
    // Also runs while a failure unwinds the stack: nothing of its own is
    // allocated here, and what Qt's calls may allocate is caught, so that
    // nothing is thrown from here.
    stopping = true;
    blockSignals(true);
    if (process) {
        try {
            process->disconnect(this);
        } catch (const std::bad_alloc&) {
        }
    }
    // An output that was not put in place by start is dropped with its file,
    // its buffered text unwritten.
    discardOutput();
    if (process) {
        try {
            process->close();
        } catch (const std::bad_alloc&) {
            process->kill();
        }
        delete process;
        process = nullptr;
    }
}

const QString& WiresharkTerminalStream::outOfMemoryText()
{
    static const QString text = QStringLiteral(
        "The conversion ran out of memory and was stopped; the output file was left as it was.");
    return text;
}

void WiresharkTerminalStream::countPackets(QString capturePath, QString capinfosPath)
{
    QProcess capinfos;
    const QStringList arguments{capturePath, QStringLiteral("-c"), QStringLiteral("-M")};
    qDebug() << capinfosPath << arguments;
    capinfos.start(capinfosPath, arguments, QIODevice::ReadWrite);
    capinfos.waitForStarted(30000);
    capinfos.waitForFinished(30000);
    if (capinfos.state() != QProcess::NotRunning) {
        capinfos.kill();
        capinfos.waitForFinished(1000);
    }
    const QString text = decodeUpToNul(capinfos.readAllStandardOutput());
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > 1)
        qDebug() << lines.at(1);
    expectedPackets = 0;
    static const QString label = QStringLiteral("Number of packets:");
    for (const QString& line : lines) {
        const int at = line.indexOf(label);
        if (at >= 0) {
            expectedPackets = line.mid(at + label.size()).trimmed().toInt();
            break;
        }
    }
}

bool WiresharkTerminalStream::start(QString capturePath, QString tsharkPath, QString filter,
                                    int limit)
{
    ranOutOfMemory = false;
    // Whatever runs out of memory while the conversion runs fails it, the
    // handlers of others that its loop serves included: they count it.
    const unsigned long failures = HandlerGuard::failures();
    bool ok = false;
    try {
        ok = convert(capturePath, tsharkPath, filter, limit, failures);
    } catch (const std::bad_alloc&) {
        ranOutOfMemory = true;
    }
    if (!ranOutOfMemory)
        return ok;
    endForMemory();
    return false;
}

bool WiresharkTerminalStream::convert(const QString& capturePath, const QString& tsharkPath,
                                      const QString& filter, int limit, unsigned long failures)
{
    killed = false;
    reported = false;
    errorText.clear();
    errorOutput.clear();
    pending.clear();
    token.clear();
    record.clear();
    tokens = 0;
    inQuote = false;
    const int rowsBefore = rowsWritten;

    // tshark leaves the first of two equal -e columns empty: each field is
    // asked for once.
    TList<QString> distinct;
    for (const QString& field : attributes)
        if (!distinct.contains(field))
            distinct.append(field);
    if (distinct.size() < attributes.size())
        attributes = distinct;

    if (process) {
        process->disconnect(this);
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this](int code, QProcess::ExitStatus status) { processFinished(code, int(status)); });
        connect(process, &QProcess::readyReadStandardOutput, this,
                &WiresharkTerminalStream::readyReadStandardOutput);
        connect(process, &QProcess::readyReadStandardError, this,
                &WiresharkTerminalStream::readyReadStandardError);
        // Error output apart: warnings must not mix into the records.
        process->setProcessChannelMode(QProcess::SeparateChannels);
    }

    QStringList arguments{QStringLiteral("-r"), capturePath};
    if (limit != -1)
        arguments << QStringLiteral("-c") << QString::number(limit);
    if (!filter.isEmpty())
        arguments << QStringLiteral("-Y") << filter;
    arguments << QStringLiteral("-T") << QStringLiteral("fields") << QStringLiteral("-E")
              << QStringLiteral("separator=~") << QStringLiteral("-E") << QStringLiteral("quote=d");

    // Keep the command within what a console line takes: later fields that
    // do not fit are left out, and the header names only those passed.
    int estimate = tsharkPath.size() + capturePath.size() + attributes.size() + 33;
    int passed = 0;
    for (const QString& field : attributes) {
        if (field.size() + estimate + 4 > COMMAND_LIMIT)
            break;
        arguments << QStringLiteral("-e") << field;
        estimate += field.size() + 4;
        ++passed;
    }
    arguments << QStringLiteral("-E") << QStringLiteral("occurrence=f") << QStringLiteral("-l");

    if (out) {
        for (int k = 0; k < passed; ++k)
            *out << attributes.at(k) << (k + 1 < passed ? "," : "\n");
        if (passed < attributes.size())
            attributes = attributes.mid(0, passed);
    } else {
        warn(CREATE_FAILED, boxParent);
        reported = true;
    }

    int length = tsharkPath.size();
    for (const QString& argument : arguments)
        length += 1 + argument.size();
    qDebug() << tsharkPath << arguments;
    qDebug() << "application length " << length;
    if (!process)
        return fail(CREATE_FAILED);

    emit progress(0);
    if (ranOutOfMemory)
        return false;
    process->start(tsharkPath, arguments, QIODevice::ReadWrite);
    const bool started = process->waitForStarted(30000);
    const QString startError = process->errorString();
    qDebug() << startError;
    if (!started && !startError.isEmpty() && startError != QLatin1String("Unknown error")) {
        warn(START_FAILED + startError, boxParent);
        reported = true;
    }
    qDebug() << arguments;
    qDebug() << process->state();
    if (process->state() == QProcess::NotRunning)
        qDebug() << "not running";

    if (process->state() != QProcess::NotRunning) {
        QEventLoop loop;
        waitLoop = &loop;
        OnExit forget([this]() { waitLoop = nullptr; });
        // A long conversion stops soon after anything in its loop ran out
        // of memory, not only once tshark has ended.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [this, failures]() {
            if (HandlerGuard::failures() != failures)
                stopForMemory();
        });
        poll.start(100);
        try {
            loop.exec();
        } catch (const char* text) {
            std::printf("Exception Caught: %s\n", text);
        }
        poll.stop();
        waitLoop = nullptr;
        // A batch that a failure stopped half way is neither converted
        // again nor dropped alone: the conversion fails as a whole.
        if (ranOutOfMemory || HandlerGuard::failures() != failures) {
            ranOutOfMemory = true;
            return false;
        }
        if (process->state() != QProcess::NotRunning) {
            qDebug() << "something happened";
            process->kill();
            process->waitForFinished(1000);
        }
    }

    // What is left once tshark has ended: its last error text and a record
    // line that may lack its line end.
    readyReadStandardError();
    if (ranOutOfMemory)
        return false;
    if (!stopping)
        convertLines(process->readAllStandardOutput(), true);
    if (out && !killed)
        out->flush();

    if (killed)
        return fail(QStringLiteral("The conversion was stopped."));
    if (!started) {
        // No finished signal comes for a program that never ran; a progress
        // display still learns that the conversion is over.
        emit progress(INT_MAX);
        if (ranOutOfMemory)
            return false;
        return fail(startError);
    }
    const QString tsharkText = withoutRootWarning(errorOutput);
    if (process->exitStatus() == QProcess::CrashExit) {
        qDebug() << "something happened";
        return fail(tsharkText.isEmpty() ? process->errorString() : tsharkText);
    }
    if (process->exitCode() != 0)
        return fail(tsharkText.isEmpty()
                        ? QStringLiteral("tshark ended with code %1.").arg(process->exitCode())
                        : tsharkText);
    if (out && out->status() != QTextStream::Ok)
        return fail(QStringLiteral("The output file could not be written."));
    if (!filter.isEmpty() && rowsWritten == rowsBefore) {
        QString text = QStringLiteral("No packet passed the filter \"%1\": nothing was converted.")
                           .arg(filter);
        if (!tsharkText.isEmpty())
            text += QLatin1Char('\n') + tsharkText;
        return fail(text);
    }
    if (filter.isEmpty() && expectedPackets > 0 && rowsWritten == rowsBefore) {
        QString text = QStringLiteral("tshark printed no record for the %1 packets of the capture.")
                           .arg(expectedPackets);
        if (!tsharkText.isEmpty())
            text += QLatin1Char('\n') + tsharkText;
        return fail(text);
    }
    // Only now does the new file take the output's place.
    if (!outputFile || !outputFile->commit())
        return fail(QStringLiteral("The output file could not be written: ")
                    + (outputFile ? outputFile->errorString() : QString()));
    return true;
}

void WiresharkTerminalStream::endForMemory() noexcept
{
    ranOutOfMemory = true;
    errorText = outOfMemoryText();
    if (process) {
        try {
            process->disconnect(this);
        } catch (const std::bad_alloc&) {
        }
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            try {
                process->waitForFinished(1000);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    discardOutput();
}

void WiresharkTerminalStream::stopForMemory() noexcept
{
    ranOutOfMemory = true;
    if (process && process->state() != QProcess::NotRunning)
        process->kill();
    if (waitLoop)
        waitLoop->quit();
}

bool WiresharkTerminalStream::fail(const QString& text)
{
    errorText = text;
    discardOutput();
    return false;
}

void WiresharkTerminalStream::discardOutput() noexcept
{
    // The text that the stream still holds is not encoded and written (that
    // allocates): a stream that has failed writes nothing more, not even
    // when it goes. The temporary file goes with its object unless it took
    // the output's place already.
    if (out) {
        out->setStatus(QTextStream::WriteFailed);
        delete out;
        out = nullptr;
    }
    delete outputFile;
    outputFile = nullptr;
}

void WiresharkTerminalStream::abort()
{
    stopping = true;
    // Without waiting for tshark's next line: it may print nothing for a
    // long time (a filter that matches late).
    if (!process || process->state() == QProcess::NotRunning)
        return;
    try {
        QMetaObject::invokeMethod(
            this,
            [this]() {
                try {
                    if (process && process->state() != QProcess::NotRunning)
                        stop();
                } catch (const std::bad_alloc&) {
                    stopForMemory();
                }
            },
            Qt::QueuedConnection);
    } catch (const std::bad_alloc&) {
        stopForMemory();
    }
}

// The handlers below run inside start's loop. Each ends its own running out
// of memory by failing the conversion: a batch that stopped half way would
// otherwise stay pending and its rows be converted again.

void WiresharkTerminalStream::processFinished(int exitCode, int exitStatus)
{
    try {
        qDebug() << "finished" << exitCode << exitStatus << process->state();
        emit progress(INT_MAX);
        if (waitLoop)
            waitLoop->quit();
    } catch (const std::bad_alloc&) {
        stopForMemory();
    }
}

void WiresharkTerminalStream::readyReadStandardError()
{
    if (!process || ranOutOfMemory)
        return;
    try {
        const QByteArray bytes = process->readAllStandardError();
        if (bytes.isEmpty())
            return;
        qDebug() << bytes;
        errorOutput += bytes;
    } catch (const std::bad_alloc&) {
        stopForMemory();
    }
}

void WiresharkTerminalStream::readyReadStandardOutput()
{
    if (!process || ranOutOfMemory)
        return;
    try {
        if (stopping) {
            stop();
            return;
        }
        convertLines(process->readAllStandardOutput(), false);
        // tshark flushes every record (-l): waking up for each one would
        // cost both processes more than the conversion itself. A short
        // pause lets the records of a few milliseconds gather in the pipe
        // (far below its size, so tshark never waits) and keeps the GUI
        // serviced between.
        if (process->state() == QProcess::Running)
            QThread::usleep(BATCH_PAUSE_US);
    } catch (const std::bad_alloc&) {
        stopForMemory();
    }
}

void WiresharkTerminalStream::stop()
{
    if (killed)
        return;
    qDebug() << "kill";
    process->kill();
    discardOutput();
    killed = true;
}

void WiresharkTerminalStream::convertLines(const QByteArray& bytes, bool toEnd)
{
    pending += bytes;
    int end = toEnd ? pending.size() : pending.lastIndexOf('\n') + 1;
    if (end <= 0)
        return;
    const char* data = pending.constData();
    // Lines are read as UTF-8 up to a NUL byte; without one the complete
    // lines decode in one go.
    if (!std::memchr(data, '\0', std::size_t(end))) {
        const QString text = QString::fromUtf8(data, end);
        const QChar* chars = text.constData();
        const int size = text.size();
        int from = 0;
        while (from < size) {
            const QChar* nl = std::find(chars + from, chars + size, QLatin1Char('\n'));
            const int to = int(nl - chars);
            convertLine(chars + from, to - from);
            from = to + 1;
        }
    } else {
        int from = 0;
        while (from < end) {
            const char* nl = static_cast<const char*>(std::memchr(data + from, '\n', std::size_t(end - from)));
            const int to = nl ? int(nl - data) : end;
            const int length = int(qstrnlen(data + from, uint(to - from)));
            const QString line = QString::fromUtf8(data + from, length);
            convertLine(line.constData(), line.size());
            from = to + 1;
        }
    }
    pending.remove(0, end);
}

void WiresharkTerminalStream::convertLine(const QChar* line, int size)
{
    // Line ends and carriage returns are no part of a record.
    QString cleaned;
    if (std::find(line, line + size, QLatin1Char('\r')) != line + size) {
        cleaned = QString(line, size);
        cleaned.remove(QLatin1Char('\r'));
        line = cleaned.constData();
        size = cleaned.size();
    }
    if (size == 0) {
        // A record of one empty field is an empty line: still a row.
        if (attributes.size() == 1 && tokens == 0 && token.isEmpty() && !inQuote) {
            addToken(QString());
            endRecordLine();
        }
        return;
    }

    const QChar quote = QLatin1Char('"');
    const QChar tilde = QLatin1Char('~');
    const QChar comma = QLatin1Char(',');
    QChar prev = tilde;
    for (int k = 0; k < size; ++k) {
        QChar c = line[k];
        if (inQuote && c != quote && c != tilde && c != comma) {
            // A stretch of plain characters inside quotes, kept as it is.
            int e = k + 1;
            while (e < size && line[e] != quote && line[e] != tilde && line[e] != comma)
                ++e;
            token.append(line + k, e - k);
            prev = line[e - 1];
            k = e - 1;
            continue;
        }
        if (c == quote) {
            if (!inQuote) {
                inQuote = true;
            } else if (k + 1 == size || line[k + 1] == tilde) {
                addToken(token);
                token.resize(0);
                inQuote = false;
            } else {
                qDebug() << "fake quote detected" << size;
            }
        } else if (c == tilde) {
            if (!inQuote && prev == tilde)
                addToken(QString());
        } else if (inQuote) {
            token.append(QLatin1Char(';'));  // the comma of a value
        }
        prev = c;
    }
    endRecordLine();
}

void WiresharkTerminalStream::addToken(const QString& text)
{
    if (tokens > 0)
        record += QLatin1Char(',');
    record += text;
    ++tokens;
}

void WiresharkTerminalStream::endRecordLine()
{
    const int n = attributes.size();
    if (tokens == n - 1)
        addToken(QString());
    if (tokens == n) {
        record += QLatin1String("\r\n");
        if (out)
            *out << record;
        ++rowsWritten;
        token.resize(0);
        record.resize(0);
        tokens = 0;
        inQuote = false;
    } else if (tokens > n) {
        qDebug() << "more tokens than attributes?";
        record.resize(0);
        tokens = 0;
    }
    if (rowsWritten > expectedPackets)
        qDebug() << "i'm stuck ";
}

TList<QString> WiresharkTerminalStream::refusedFields(const QString& tsharkText)
{
    // tshark lists the names it does not know one a line, indented, after
    // "Some fields aren't valid:".
    TList<QString> fields;
    const QStringList lines = tsharkText.split(QLatin1Char('\n'));
    int at = 0;
    while (at < lines.size() && !lines.at(at).contains(QLatin1String("Some fields aren't valid:")))
        ++at;
    for (int k = at + 1; k < lines.size(); ++k) {
        const QString& line = lines.at(k);
        if (!line.startsWith(QLatin1Char('\t')) && !line.startsWith(QLatin1Char(' ')))
            break;
        const QString name = line.trimmed();
        if (!name.isEmpty() && !fields.contains(name))
            fields.append(name);
    }
    return fields;
}

QString WiresharkTerminalStream::withoutRootWarning(const QByteArray& errorOutput)
{
    // tshark warns about running as root at every run; that line says
    // nothing about this conversion.
    QStringList kept;
    const QStringList lines = decodeUpToNul(errorOutput).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (trimmed.startsWith(QLatin1String("Running as user \""))
            && trimmed.endsWith(QLatin1String("This could be dangerous.")))
            continue;
        kept << line;
    }
    return kept.join(QLatin1Char('\n')).trimmed();
}
