#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Captures the debug lines written in the "default" category while it
// lives, exactly as the message handler receives them (qDebug's spaces and
// quotes included). Messages still reach the previous handler. Safe to
// receive messages from any thread.
class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    QStringList lines() const;
    int count(const QString& line) const;
    bool contains(const QString& line) const { return count(line) > 0; }
    void clear();
    // Stop passing messages on to the previous handler (quiet tests).
    void setForward(bool forward);

private:
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg);

    mutable QMutex m_mutex;
    QStringList m_lines;
    bool m_forward = true;
    QtMessageHandler m_previous = nullptr;
    DebugCapture* m_outer = nullptr;
};
