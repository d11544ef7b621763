#include "editors/EventCompleter.h"

#include <QDebug>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>

#include <memory>
#include <utility>
#include <vector>

#include "core/HandlerGuard.h"

EventCompleter::EventCompleter(const TList<BinItem>& offered, void* data, bool allowNew,
                               QWidget* parent)
    : QDialog(parent), glyphs(offered), data(data), editor(parent)
{
    setMouseTracking(true);

    auto* layout = new QGridLayout(this);
    searchEdit = new QLineEdit(this);
    list = new QListWidget(this);
    closeButton = new QPushButton(QStringLiteral("Close"), this);
    layout->addWidget(new QLabel(QStringLiteral("Search:"), this), 0, 0);
    layout->addWidget(searchEdit, 0, 1);
    layout->addWidget(list, 1, 0, 1, 2);
    layout->addWidget(closeButton, 2, 0, 1, 2);

    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setIconSize(QSize(int(iconSize), int(iconSize)));

    connect(searchEdit, &QLineEdit::textChanged, this, &EventCompleter::updateFilter);
    connect(list, &QListWidget::itemClicked, this, &EventCompleter::unload);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);

    if (allowNew) {
        BinItem addNew(nullptr, nullptr);
        addNew.name = addNewLabel;
        addNew.fillColor = Qt::white;
        glyphs.items.insert(glyphs.items.begin(), addNew);
    }
    icons.resize(glyphs.size());
    fillList();
    result.clear();
}

void EventCompleter::createGlyph()
{
}

const QIcon& EventCompleter::iconOf(int index)
{
    QIcon& icon = icons[index];
    if (icon.isNull())
        icon = glyphs[index].icon(iconSize, iconSize);
    return icon;
}

void EventCompleter::fillList()
{
    fillList(filter);
}

void EventCompleter::fillList(const QString& shown)
{
    // Every entry is made before the list changes: out of memory the list
    // and its filter stay as they were, so that a row still stands for the
    // glyph it shows.
    std::vector<std::unique_ptr<QListWidgetItem>> entries;
    for (int i = 0; i < glyphs.size(); ++i) {
        const BinItem& glyph = glyphs[i];
        if (!shown.isEmpty() && !glyph.name.contains(shown, Qt::CaseSensitive))
            continue;
        std::unique_ptr<QListWidgetItem> entry(new QListWidgetItem(iconOf(i), glyph.name));
        entries.push_back(std::move(entry));
    }
    filter = shown;
    list->setUpdatesEnabled(false);
    list->clear();
    for (std::unique_ptr<QListWidgetItem>& entry : entries)
        list->addItem(entry.release());
    list->setUpdatesEnabled(true);
    update();
}

void EventCompleter::updateFilter(QString text)
{
    HandlerGuard::run([&] { fillList(text); });
}

int EventCompleter::indexOfRow(int row) const
{
    int shown = 0;
    for (int i = 0; i < glyphs.size(); ++i) {
        if (!glyphs[i].name.contains(filter, Qt::CaseSensitive))
            continue;
        if (shown == row)
            return i;
        ++shown;
    }
    qDebug() << "item does not exist";
    return -1;
}

void EventCompleter::unload(QListWidgetItem* item)
{
    HandlerGuard::run([&] {
        if (!item)
            return;
        picked = indexOfRow(list->row(item));
        result = picked >= 0 ? glyphs[picked].name : QString();
        if (!result.isEmpty())
            accept();
        else
            reject();
    });
}

void EventCompleter::mousePressEvent(QMouseEvent* event)
{
    HandlerGuard::run([&] {
        const QPoint p = event->pos();
        if (p.x() < 0 || p.y() < 0 || p.x() > width() || p.y() > height()) {
            qDebug() << "close";
            accept();
        }
    });
}

void EventCompleter::keyPressEvent(QKeyEvent* event)
{
    // The plain widget handling, not the dialog's: Return and Enter neither
    // accept nor reject the popup.
    QWidget::keyPressEvent(event);
    if (event->key() == Qt::Key_Escape)
        HandlerGuard::run([this] { reject(); });
}

void EventCompleter::leaveEvent(QEvent* event)
{
    QDialog::leaveEvent(event);
}
