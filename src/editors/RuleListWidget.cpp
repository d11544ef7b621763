#include "editors/RuleListWidget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDataStream>
#include <QDebug>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>

#include <QTableWidget>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "app/ControlWidget.h"
#include "app/IconToggleWidget.h"
#include "app/IconWidget.h"
#include "app/MatchIcon.h"
#include "core/HandlerGuard.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleWidget.h"
#include "events/ReloadEvent.h"
#include "model/GlyphStore.h"
#include "patterns/Rule.h"
#include "views/events/EventWidget.h"

const QString RuleListWidget::MIME_TYPE = QStringLiteral("application/x-dnditemdata");

RuleListWidget::RuleListWidget(ControlWidget* owner, QWidget* parent)
    : QListWidget(parent), owner(owner)
{
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::InternalMove);
    setDropIndicatorShown(true);
    // Rows are rebuilt, never edited in place: a double click opens the
    // rule editor instead.
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setMouseTracking(true);
    QPalette colours = palette();
    colours.setColor(QPalette::All, QPalette::Base, Qt::white);
    setPalette(colours);

    connect(model(), &QAbstractItemModel::rowsMoved, this, &RuleListWidget::dragdrop);
    connect(this, &QListWidget::itemDoubleClicked, this, &RuleListWidget::openEditor);
}

GlyphStore* RuleListWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

QSize RuleListWidget::sizeHint() const
{
    return QSize(100, 400);
}

void RuleListWidget::sendReload()
{
    // The main view group's matrix; the second group is never fed.
    EventWidget* matrix = owner ? owner->focusedEventWidget() : nullptr;
    if (!matrix)
        return;
    ReloadEvent event(this, {});
    QCoreApplication::sendEvent(matrix, &event);
}

int RuleListWidget::storeIndex(int row) const
{
    GlyphStore* s = store();
    if (!s || row < 0 || row >= names.size() || row >= s->rules.size())
        return -1;
    return s->rules[row].name == names[row] ? row : -1;
}

// ---------------------------------------------------------------------------
// Rows

void RuleListWidget::refreshRules()
{
    TList<QString> ruleNames;
    QList<bool> visible;
    if (GlyphStore* s = store()) {
        for (const Rule& rule : s->rules.items) {
            ruleNames.append(rule.name);
            visible.append(rule.visible);
        }
    }
    setRules(ruleNames, visible);
}

struct RuleListWidget::Row
{
    std::unique_ptr<QWidget> container;
    std::unique_ptr<QListWidgetItem> item;
};

RuleListWidget::Rows::Rows() = default;
RuleListWidget::Rows::~Rows() = default;

void RuleListWidget::setRules(const TList<QString>& ruleNames, const QList<bool>& visible)
{
    Rows rows = prepareRows(ruleNames, visible);
    showRows(rows);
}

RuleListWidget::Rows RuleListWidget::prepareRows(const TList<QString>& ruleNames, const QList<bool>& visible)
{
    Rows rows;
    rows.rows.reserve(std::size_t(ruleNames.size()));
    rows.map.reserve(ruleNames.size());
    rows.names = ruleNames;
    GlyphStore* s = store();
    for (int i = 0; i < ruleNames.size(); ++i) {
        Rule rule = s ? s->findRule(ruleNames[i]) : Rule();

        Row row;
        row.container.reset(new QWidget);
        QWidget* container = row.container.get();
        auto* layout = new QHBoxLayout(container);
        layout->setSizeConstraint(QLayout::SetFixedSize);

        std::unique_ptr<MatchIcon> icon(new MatchIcon(rule.match));
        auto* toggle = new IconToggleWidget(rowHeight * 0.75, rowHeight * 0.5, icon.get(), container);
        // The toggle draws the icon; the icon widget itself stays hidden.
        icon->setParent(toggle);
        icon.release()->hide();
        auto* box = new QCheckBox(container);
        box->setChecked(i < visible.size() && visible[i]);
        auto* picture = new IconWidget(pictureWidth, rowHeight, rule.icon(pictureWidth, rowHeight),
                                       container);
        auto* label = new QLabel(rule.name.isEmpty() ? ruleNames[i] : rule.name, container);
        layout->addWidget(toggle);
        layout->addWidget(box);
        layout->addWidget(picture);
        layout->addWidget(label);

        connect(box, &QCheckBox::clicked, this, &RuleListWidget::setVisibility);
        connect(toggle, &IconToggleWidget::clicked, this, &RuleListWidget::setMatch);

        row.item.reset(new QListWidgetItem);
        row.item->setFlags(Qt::ItemIsEditable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled
                           | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        row.item->setToolTip(rule.displayText());
        rows.map.insert(container, i);
        rows.rows.push_back(std::move(row));
    }
    return rows;
}

void RuleListWidget::showRows(Rows& rows)
{
    // The row widgets go later (the view defers their deletion): a toggle or
    // box whose click led here is still running its handler.
    clear();
    std::swap(rowMap, rows.map);
    names.items.swap(rows.names.items);
    for (Row& row : rows.rows) {
        QListWidgetItem* item = row.item.release();
        QWidget* container = row.container.release();
        addItem(item);
        setItemWidget(item, container);
        // Measured inside the list: as a window of its own the container
        // would count a window's margins.
        item->setSizeHint(container->sizeHint());
    }
    viewport()->update();
}

// ---------------------------------------------------------------------------
// Match and visibility

// The row's switches change one flag of one rule, which allocates nothing;
// the matrix's reload ends its own failures. A list out of date is rebuilt
// whole or shows what it showed.

void RuleListWidget::setMatch()
{
    HandlerGuard::run([this] {
        auto* toggle = qobject_cast<IconToggleWidget*>(sender());
        if (!toggle || !toggle->icon)
            return;
        const int row = rowMap.value(toggle->parentWidget(), -1);
        const int index = storeIndex(row);
        if (index < 0) {
            qDebug() << "rule list out of date: match flag not changed";
            refreshRules();
            return;
        }
        store()->rules[index].match = toggle->icon->match;
        sendReload();
    });
}

void RuleListWidget::setVisibility()
{
    HandlerGuard::run([this] {
        auto* box = qobject_cast<QCheckBox*>(sender());
        if (!box)
            return;
        const int row = rowMap.value(box->parentWidget(), -1);
        const int index = storeIndex(row);
        if (index < 0) {
            qDebug() << "rule list out of date: visibility not changed";
            refreshRules();
            return;
        }
        store()->rules[index].visible = box->checkState() == Qt::Checked;
        sendReload();
    });
}

// ---------------------------------------------------------------------------
// Reordering

void RuleListWidget::mousePressEvent(QMouseEvent* event)
{
    QListWidget::mousePressEvent(event);
    pressed = true;
}

void RuleListWidget::mouseReleaseEvent(QMouseEvent* event)
{
    QListWidget::mouseReleaseEvent(event);
    pressed = false;
}

void RuleListWidget::leaveEvent(QEvent* event)
{
    QListWidget::leaveEvent(event);
    pressed = false;
}

void RuleListWidget::mouseMoveEvent(QMouseEvent* event)
{
    QListWidget::mouseMoveEvent(event);
    QListWidgetItem* item = currentItem();
    if (!pressed || !item || event->buttons() == Qt::NoButton)
        return;
    // Out of memory no drag starts; the press stays.
    HandlerGuard::run([&] {
        const int row = rowMap.value(itemWidget(item), this->row(item));
        QByteArray bytes;
        {
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out << qint32(row);
        }
        std::unique_ptr<QMimeData> data(new QMimeData);
        data->setData(MIME_TYPE, bytes);

        GlyphStore* s = store();
        Rule rule = s && row >= 0 && row < names.size() ? s->findRule(names[row]) : Rule();
        const QPixmap pixmap = rule.icon(pictureWidth, rowHeight)
                                   .pixmap(QSize(pictureWidth, rowHeight), QIcon::Normal, QIcon::Off);
        auto* drag = new QDrag(this);
        drag->setMimeData(data.release());
        drag->setPixmap(pixmap);
        drag->setHotSpot(QPoint(100, 22));
        // The drag takes the release: the press is over once it ends.
        pressed = false;
        execDrag(drag);
    });
}

void RuleListWidget::execDrag(QDrag* drag)
{
    drag->exec(Qt::MoveAction);
}

QObject* RuleListWidget::dragSource(const QDropEvent* event) const
{
    return event->source();
}

void RuleListWidget::dragEnterEvent(QDragEnterEvent* event)
{
    QListWidget::dragEnterEvent(event);
    acceptOwnRows(event);
}

void RuleListWidget::dragMoveEvent(QDragMoveEvent* event)
{
    QListWidget::dragMoveEvent(event);
    acceptOwnRows(event);
}

void RuleListWidget::acceptOwnRows(QDragMoveEvent* event)
{
    // Only this list's own rows are taken; out of memory nothing is.
    bool own = false;
    HandlerGuard::run([&] { own = event->mimeData()->hasFormat(MIME_TYPE) && dragSource(event) == this; });
    if (own) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void RuleListWidget::dropEvent(QDropEvent* event)
{
    // Moves nothing itself: the rows are not selectable.
    QListWidget::dropEvent(event);
    pressed = false;
    event->ignore();
    // Out of memory the rules keep their order (dragdrop).
    HandlerGuard::run([&] { drop(event); });
}

void RuleListWidget::drop(QDropEvent* event)
{
    if (!event->mimeData()->hasFormat(MIME_TYPE))
        return;
    if (dragSource(event) != this) {
        // Another program's or widget's row index means nothing here.
        qDebug() << "drop from elsewhere ignored";
        return;
    }

    QByteArray bytes = event->mimeData()->data(MIME_TYPE);
    QDataStream in(&bytes, QIODevice::ReadOnly);
    qint32 source = -1;
    in >> source;
    GlyphStore* s = store();
    if (in.status() != QDataStream::Ok || !s || source < 0 || source >= s->rules.size()
        || source >= count()) {
        qDebug() << "drop of an unknown row ignored";
        return;
    }

    int target;
    QListWidgetItem* item = itemAt(event->posF().toPoint());
    if (item) {
        target = rowMap.value(itemWidget(item), row(item));
    } else {
        qDebug() << "still in list";
        target = count() - 1;
    }
    event->setDropAction(Qt::MoveAction);
    event->accept();
    if (source >= 1 && target >= 1)
        dragdrop(QModelIndex(), source, source, QModelIndex(), target);
}

void RuleListWidget::dragdrop(const QModelIndex& parent, int start, int end,
                              const QModelIndex& destination, int row)
{
    Q_UNUSED(parent);
    Q_UNUSED(end);
    Q_UNUSED(destination);
    HandlerGuard::run([&] {
        GlyphStore* s = store();
        if (!s)
            return;
        const int before = s->rules.size();
        if (start < 0 || start >= before || row < 0) {
            qDebug() << "reorder of an unknown rule ignored";
            return;
        }
        // The new order and the list's rows for it are made before the
        // store changes: moving the rules about in place copies them one by
        // one, and a copy that runs out of memory there would leave one
        // twice and another lost.
        const int at = std::min(row, before - 1);
        TList<Rule> order;
        order.items.reserve(std::size_t(before));
        for (int i = 0; i < before; ++i) {
            if (i != start)
                order.append(s->rules[i]);
        }
        order.items.insert(order.items.begin() + at, s->rules[start]);
        TList<QString> ruleNames;
        QList<bool> visible;
        for (const Rule& rule : order.items) {
            ruleNames.append(rule.name);
            visible.append(rule.visible);
        }
        Rows rows = prepareRows(ruleNames, visible);
        s->rules.items.swap(order.items);
        showRows(rows);
        sendReload();
    });
}

// ---------------------------------------------------------------------------
// Editor

void RuleListWidget::openEditor(QListWidgetItem* item)
{
    HandlerGuard::run([&] {
        GlyphStore* s = store();
        if (!item || !s)
            return;
        const int row = rowMap.value(itemWidget(item), this->row(item));
        // The editor's "save" overwrites the table's current row: make that
        // the row of the rule loaded, wherever the store now holds it.
        int index = storeIndex(row);
        if (index < 0 && row >= 0 && row < names.size()) {
            for (int i = 0; i < s->rules.size() && index < 0; ++i) {
                if (s->rules[i].name == names[row])
                    index = i;
            }
        }
        const Rule rule = index >= 0 ? s->rules[index] : Rule();

        // The window goes again should the rule not load: no editor opens
        // without it.
        RuleEditorWidget* editor = RuleEditorWidget::openWindow(owner);
        std::unique_ptr<QWidget> window(editor->window());
        editor->setRule(Rule(rule));
        qDebug() << "doubleclick";
        QTableWidget* table = editor->ruleTable->table;
        table->setCurrentCell(index >= 0 ? index : table->rowCount() - 1, 0);
        table->viewport()->repaint();
        window.release();
    });
}
