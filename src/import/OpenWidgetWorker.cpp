#include "import/OpenWidgetWorker.h"

#include "core/IPacketStream.h"
#include "core/Packet.h"
#include "import/RecordParser.h"

#include <QDebug>

OpenWidgetWorker::OpenWidgetWorker(RecordParser* owner, char separator, int total)
    : QObject(nullptr)
    , total(total)
    , separator(separator)
    , owner(owner)
{
}

void OpenWidgetWorker::loadData()
{
    RecordParser* w = owner;
    w->packets.clear();
    w->packets.items.reserve(std::size_t(qMax(total, 0)));
    const int grouping = w->grouping;
    // A fresh pool for every run: it goes to the new glyph store with the events.
    w->textPool.clear();
    w->textPool.insert(QString(), TVariant());
    w->resetValues();

    IPacketStream* stream = w->stream;
    int i = 0;
    while (stream && !stream->atEnd() && !cancelled.load(std::memory_order_relaxed)) {
        if (i % 1000 == 0) {
            qDebug().noquote().nospace() << "Read " << i << " Packets";
            emit progress(i);
            emit setLabelText(QStringLiteral("Loading data... : Read ") + QString::number(i)
                              + QLatin1Char('/') + QString::number(total)
                              + QStringLiteral(" Packets"));
        }
        if (i >= total)
            break;
        QSharedPointer<Packet> packet =
            w->parsePacket(stream->readLine(), separator, grouping, &w->textPool);
        if (packet)
            w->packets.items.push_back(std::move(packet));
        ++i;
    }
    emit progress(total);
    if (cancelled.load())
        qDebug() << "Canceled";
    else
        qDebug() << "Done";
    finished.store(true, std::memory_order_release);
}
