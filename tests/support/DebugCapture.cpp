#include "DebugCapture.h"

#include <cstring>
#include <mutex>

namespace {

// Guards the chain of captures and their lines and flags. A std::mutex:
// QMutex's waiting is inside Qt, where the race detector cannot see it.
std::mutex g_mutex;
DebugCapture* g_current = nullptr;
// What was installed before the outermost capture: messages that find no
// capture go there.
QtMessageHandler g_base = nullptr;

} // namespace

DebugCapture::DebugCapture()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    m_outer = g_current;
    m_previous = qInstallMessageHandler(&DebugCapture::handler);
    if (!m_outer)
        g_base = m_previous;
    g_current = this;
}

DebugCapture::~DebugCapture()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    qInstallMessageHandler(m_previous);
    g_current = m_outer;
}

void DebugCapture::handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    const char* category = ctx.category ? ctx.category : "default";
    const bool recorded = std::strcmp(category, "default") == 0;
    QtMessageHandler next = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        next = g_base;
        for (DebugCapture* capture = g_current; capture;) {
            if (recorded)
                capture->m_lines << msg;
            if (!capture->m_forward) {
                next = nullptr;
                break;
            }
            next = capture->m_previous;
            // A nested capture's previous handler is this one again: the
            // message goes on to the capture outside it.
            if (next != &DebugCapture::handler)
                break;
            capture = capture->m_outer;
        }
    }
    // Outside the lock: the next handler may be anything, and may be slow.
    if (next && next != &DebugCapture::handler)
        next(type, ctx, msg);
}

QStringList DebugCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return m_lines;
}

int DebugCapture::count(const QString& line) const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return m_lines.count(line);
}

void DebugCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    m_lines.clear();
}

void DebugCapture::setForward(bool forward)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    m_forward = forward;
}
