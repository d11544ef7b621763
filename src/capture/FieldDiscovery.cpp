#include "capture/FieldDiscovery.h"

#include "capture/PdmlFieldReader.h"
#include "core/HandlerGuard.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QTimer>

#include <new>

namespace {

// Error output kept from a run, for the log and the user.
constexpr int MAX_ERROR_BYTES = 4096;

// Longest stretch of reading before the window is served again, in
// milliseconds.
constexpr int SLICE_MS = 20;

} // namespace

FieldDiscovery::FieldDiscovery(QObject* parent)
    : QObject(parent)
    , reader(std::make_unique<PdmlFieldReader>())
{
    timeoutTimer = new QTimer(this);
    timeoutTimer->setSingleShot(true);
    connect(timeoutTimer, &QTimer::timeout, this, [this]() {
        if (!process || process->state() == QProcess::NotRunning)
            return;
        try {
            qDebug() << "tshark did not end in time; stopped";
        } catch (const std::bad_alloc&) {
        }
        stoppedByTimeout = true;
        process->kill();
    });
    sliceTimer = new QTimer(this);
    sliceTimer->setSingleShot(true);
    sliceTimer->setInterval(0);
    connect(sliceTimer, &QTimer::timeout, this, &FieldDiscovery::readSlice);
}

FieldDiscovery::~FieldDiscovery()
{
    if (!process)
        return;
    stopProcess();
    delete process;
}

void FieldDiscovery::stopProcess() noexcept
{
    try {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    } catch (const std::bad_alloc&) {
        process->kill();
    }
}

void FieldDiscovery::start(const QString& program, const QStringList& arguments, int timeout)
{
    process = new QProcess;
    process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process, &QProcess::readyReadStandardOutput, this, &FieldDiscovery::readOutput);
    connect(process, &QProcess::readyReadStandardError, this, &FieldDiscovery::readErrors);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &FieldDiscovery::processEnded);
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A program that never ran sends no finished signal.
        if (error != QProcess::FailedToStart)
            return;
        try {
            qDebug() << "not running";
            errorOutput += process->errorString().toUtf8();
        } catch (const std::bad_alloc&) {
            failForMemory();
            return;
        }
        processEnded();
    });
    process->start(program, arguments, QIODevice::ReadOnly);
    qDebug() << program << process->errorString() << arguments;
    timeoutTimer->start(timeout);
}

void FieldDiscovery::cancel()
{
    if (done)
        return;
    cancelled = true;
    if (process)
        stopProcess();
    end();
}

void FieldDiscovery::failForMemory() noexcept
{
    if (done)
        return;
    ranOut = true;
    if (process) {
        try {
            process->disconnect(this);
        } catch (const std::bad_alloc&) {
        }
        process->kill();
    }
    end();
}

int FieldDiscovery::packets() const
{
    return reader->packets();
}

TList<QString> FieldDiscovery::fields() const
{
    return reader->fields();
}

// The handlers below end their own running out of memory: the run ends as
// one that ran out of memory (the reader may have missed a part).

void FieldDiscovery::readOutput()
{
    try {
        reader->addData(process->readAllStandardOutput());
        if (!sliceTimer->isActive())
            readSlice();
    } catch (const std::bad_alloc&) {
        failForMemory();
    }
}

void FieldDiscovery::readErrors()
{
    try {
        const QByteArray bytes = process->readAllStandardError();
        if (errorOutput.size() < MAX_ERROR_BYTES)
            errorOutput += bytes;
    } catch (const std::bad_alloc&) {
        failForMemory();
    }
}

void FieldDiscovery::processEnded()
{
    if (processDone)
        return;
    try {
        processDone = true;
        timeoutTimer->stop();
        // What is left in the pipes once tshark has ended.
        if (process->state() == QProcess::NotRunning) {
            reader->addData(process->readAllStandardOutput());
            readErrors();
            crashedAlone = process->exitStatus() == QProcess::CrashExit && !stoppedByTimeout;
        }
        if (!errorOutput.isEmpty())
            qDebug() << errorOutput.left(MAX_ERROR_BYTES);
        reader->finish();
        if (!sliceTimer->isActive())
            readSlice();
    } catch (const std::bad_alloc&) {
        failForMemory();
    }
}

void FieldDiscovery::readSlice()
{
    if (done)
        return;
    try {
        if (!reader->read(QDeadlineTimer(SLICE_MS))) {
            sliceTimer->start();
            return;
        }
    } catch (const std::bad_alloc&) {
        failForMemory();
        return;
    }
    if (processDone)
        end();
}

void FieldDiscovery::end() noexcept
{
    if (done)
        return;
    done = true;
    timeoutTimer->stop();
    sliceTimer->stop();
    try {
        emit finished();
    } catch (const std::bad_alloc&) {
        // A slot that let its failure out: counted and told; the run is
        // over all the same.
        HandlerGuard::failed();
    }
}
