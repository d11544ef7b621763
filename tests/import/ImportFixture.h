#pragma once

#include "FileAnswers.h"

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"

#include <QComboBox>
#include <QIODevice>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include "core/IPacketStream.h"
#include <QStringList>

// Answers every message box while it lives and keeps what was shown.
class BoxRecorder
{
public:
    BoxRecorder()
    {
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            requests.append(r);
            return QMessageBox::Ok;
        });
    }
    ~BoxRecorder() { MessageAsker::setHandler(previous); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    QStringList texts() const
    {
        QStringList out;
        for (const auto& r : requests)
            out << r.text;
        return out;
    }
    QStringList titles() const
    {
        QStringList out;
        for (const auto& r : requests)
            out << r.title;
        return out;
    }

    QList<MessageAsker::Request> requests;

private:
    MessageAsker::Handler previous;
};

// Chooses `path` in the dialog's file dialog.
inline void chooseLog(OpenWidget& dialog, const QString& path)
{
    FileAnswers files({path});
    dialog.openFile();
}

// The value of a named attribute of an event as text.
inline QString valueOf(const OpenWidget& dialog, const QSharedPointer<Packet>& packet,
                       const QString& name)
{
    return packet->get(dialog.attributeNames.indexOf(name)).toString();
}

// A log of `rows` records "t,src,dst" with `sources` distinct sources.
inline QByteArray generatedLog(int rows, int sources = 3)
{
    QByteArray bytes = "frame.time_epoch,ip.src,ip.dst\n";
    for (int i = 0; i < rows; ++i)
        bytes += QByteArray::number(1600000000 + i) + ",10.0.0." + QByteArray::number(i % sources)
                 + ",10.0.1.1\n";
    return bytes;
}

// What each dialog test starts from: a message-box recorder, a controller
// and an import dialog of its own, released in the reverse order.
struct DialogFixture
{
    BoxRecorder boxes;
    ControlWidget control{nullptr};
    OpenWidget dialog{&control};
};
