#include "app/TMenu.h"

TMenu::TMenu()
    : QMenu(nullptr)
{
}

bool TMenu::event(QEvent* event)
{
    return QMenu::event(event);
}

void TMenu::leaveEvent(QEvent*)
{
}
