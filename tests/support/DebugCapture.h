#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Captures the debug lines written in the "default" category while it
// lives, exactly as the message handler receives them (qDebug's spaces and
// quotes included). Messages still reach the previous handler.
//
// Messages may come from any thread at any moment: also while a capture is
// made or goes, and after it has gone (a thread that took the handler just
// before it was put back). One lock, which the race detector sees, guards
// every capture; a message that finds no capture goes to the handler that
// was installed before the first one.
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

    QStringList m_lines;
    bool m_forward = true;
    QtMessageHandler m_previous = nullptr;
    DebugCapture* m_outer = nullptr;   // the capture this one is nested in
};
