#include "DebugCapture.h"

#include <QMutexLocker>
#include <atomic>
#include <cstring>

namespace {
std::atomic<DebugCapture*> g_current{nullptr};
}

DebugCapture::DebugCapture()
{
    m_outer = g_current.load();
    g_current.store(this);
    m_previous = qInstallMessageHandler(&DebugCapture::handler);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(m_previous);
    g_current.store(m_outer);
}

void DebugCapture::handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    DebugCapture* self = g_current.load();
    if (!self)
        return;
    const char* category = ctx.category ? ctx.category : "default";
    if (std::strcmp(category, "default") == 0) {
        QMutexLocker lock(&self->m_mutex);
        self->m_lines << msg;
    }
    bool forward;
    {
        QMutexLocker lock(&self->m_mutex);
        forward = self->m_forward;
    }
    if (forward && self->m_previous)
        self->m_previous(type, ctx, msg);
}

QStringList DebugCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

int DebugCapture::count(const QString& line) const
{
    QMutexLocker lock(&m_mutex);
    return m_lines.count(line);
}

void DebugCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

void DebugCapture::setForward(bool forward)
{
    QMutexLocker lock(&m_mutex);
    m_forward = forward;
}
