#include "views/events/CompareWidget.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/DisplayText.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"

#include <QHeaderView>
#include <QPalette>

#include <algorithm>
#include <memory>
#include <new>
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
    // The events shown are those of the table: out of memory while the
    // table is made, both stay as they were.
    TList<QSharedPointer<Packet>> shown = list;
    packets.items.swap(shown.items);
    try {
        updateTable();
    } catch (const std::bad_alloc&) {
        packets.items.swap(shown.items);
        throw;
    }
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

    // Every label and item is made before the table changes: out of memory
    // on the way, the table shows what it showed.
    using Item = std::unique_ptr<QTableWidgetItem>;
    const QString valueText;
    auto valueItem = [&](int k, int column) {
        const QSharedPointer<Packet>& p = packets.at(k);
        Item item(new QTableWidgetItem(p ? DisplayText::of(p->get(column)) : valueText));
        item->setFlags(Qt::NoItemFlags);
        return item;
    };
    auto labelItem = [&](const QString& text) {
        Item item(new QTableWidgetItem(text));
        item->setFont(APPLICATION_FONT);
        return item;
    };

    QStringList labels;
    std::vector<Item> made;   // row by row
    int rows = 0;
    int columns = 0;
    if (!eventsAsRows) {
        rows = attributes;
        columns = n + 1;
        labels.reserve(columns);
        labels << QStringLiteral("Properties:");
        for (int k = 0; k < n; ++k)
            labels << QStringLiteral("P") + QString::number(k);
        made.reserve(std::size_t(rows) * std::size_t(columns));
        for (int r = 0; r < attributes; ++r) {
            made.push_back(labelItem(kept[std::size_t(r)].first));
            for (int k = 0; k < n; ++k)
                made.push_back(valueItem(k, kept[std::size_t(r)].second));
        }
    } else {
        rows = n;
        columns = attributes + 1;
        labels.reserve(columns);
        labels << QStringLiteral("Data:");
        for (const auto& a : kept)
            labels << a.first;
        made.reserve(std::size_t(rows) * std::size_t(columns));
        for (int k = 0; k < n; ++k) {
            made.push_back(labelItem(QStringLiteral("P") + QString::number(k)));
            for (int c = 0; c < attributes; ++c)
                made.push_back(valueItem(k, kept[std::size_t(c)].second));
        }
    }

    setRowCount(0);
    setSortingEnabled(false);
    setUpdatesEnabled(false);
    const bool wasBlocked = blockSignals(true);

    setColumnCount(columns);
    setHorizontalHeaderLabels(labels);
    setRowCount(rows);
    for (std::size_t i = 0; i < made.size(); ++i)
        setItem(int(i / std::size_t(columns)), int(i % std::size_t(columns)), made[i].release());
    if (eventsAsRows)
        verticalHeader()->show();
    else
        verticalHeader()->hide();

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
