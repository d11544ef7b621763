#include "views/events/CompareWidget.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/DisplayText.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"

#include <QHeaderView>
#include <QPalette>

#include <algorithm>
#include <utility>
#include <vector>

CompareWidget::CompareWidget(ControlWidget* control, int limit, bool eventsAsRows, QWidget* parent)
    : QTableWidget(parent)
    , eventsAsRows(eventsAsRows)
    , control(control)
    , limit(limit)
{
    setShowGrid(false);
    setFont(APPLICATION_FONT);
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Base, QBrush(Qt::white, Qt::SolidPattern));
    setPalette(pal);
    horizontalHeader()->setStretchLastSection(true);
}

void CompareWidget::setPackets(const TList<QSharedPointer<Packet>>& list)
{
    packets = list;
    updateTable();
}

QSize CompareWidget::sizeHint() const
{
    return QSize(400, 300);
}

void CompareWidget::updateTable()
{
    const int n = limit == -1 ? packets.size() : std::min(packets.size(), std::max(limit, 0));

    // The attributes in name order, with their columns, that a shown event has.
    std::vector<std::pair<QString, int>> kept;
    if (control && control->glyphStore) {
        const GlyphStore* store = control->glyphStore;
        QList<QString> names = store->packetAttributeNames.toQList();
        std::sort(names.begin(), names.end());
        for (const QString& name : names) {
            const int column = store->attributeColumns.value(name, -1);
            if (column < 0)
                continue;
            for (int k = 0; k < n; ++k) {
                const QSharedPointer<Packet>& p = packets.at(k);
                if (p && p->get(column).isValid()) {
                    kept.emplace_back(name, column);
                    break;
                }
            }
        }
    }
    const int attributes = int(kept.size());

    setRowCount(0);
    setSortingEnabled(false);
    setUpdatesEnabled(false);
    const bool wasBlocked = blockSignals(true);

    const QString valueText;
    auto valueItem = [&](int k, int column) {
        const QSharedPointer<Packet>& p = packets.at(k);
        auto* item = new QTableWidgetItem(p ? DisplayText::of(p->get(column)) : valueText);
        item->setFlags(Qt::NoItemFlags);
        return item;
    };
    auto labelItem = [&](const QString& text) {
        auto* item = new QTableWidgetItem(text);
        item->setFont(APPLICATION_FONT);
        return item;
    };

    if (!eventsAsRows) {
        setColumnCount(n + 1);
        QStringList labels;
        labels.reserve(n + 1);
        labels << QStringLiteral("Properties:");
        for (int k = 0; k < n; ++k)
            labels << QStringLiteral("P") + QString::number(k);
        setHorizontalHeaderLabels(labels);
        setRowCount(attributes);
        for (int r = 0; r < attributes; ++r) {
            setItem(r, 0, labelItem(kept[std::size_t(r)].first));
            for (int k = 0; k < n; ++k)
                setItem(r, k + 1, valueItem(k, kept[std::size_t(r)].second));
        }
        verticalHeader()->hide();
    } else {
        setColumnCount(attributes + 1);
        QStringList labels;
        labels.reserve(attributes + 1);
        labels << QStringLiteral("Data:");
        for (const auto& a : kept)
            labels << a.first;
        setHorizontalHeaderLabels(labels);
        setRowCount(n);
        for (int k = 0; k < n; ++k) {
            setItem(k, 0, labelItem(QStringLiteral("P") + QString::number(k)));
            for (int c = 0; c < attributes; ++c)
                setItem(k, c + 1, valueItem(k, kept[std::size_t(c)].second));
        }
        verticalHeader()->show();
    }

    const int columns = columnCount();
    if (columns > 0) {
        const int columnWidth = std::max(100, width() / columns);
        for (int c = 0; c < columns; ++c)
            setColumnWidth(c, columnWidth);
    }

    setSortingEnabled(true);
    setUpdatesEnabled(true);
    blockSignals(wasBlocked);
    viewport()->update();
}
