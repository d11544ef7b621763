#pragma once

#include <QMenu>

// A menu whose highlighted entry stays highlighted when the mouse leaves
// it (the event ribbon's menus hold combo boxes that open their own popups).
class TMenu : public QMenu
{
    Q_OBJECT

public:
    TMenu();

protected:
    bool event(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
};
