#include "events/FindEvent.h"

#include "events/EventType.h"

FindEvent::FindEvent(QObject* sender, ParseNode* tree, bool findTraces, bool shortestMatch,
                     bool createAttribute, const QList<QVariant>& args)
    : QEvent(toEventType(FINDEVENT)), sender(sender), args(args), findTraces(findTraces),
      shortestMatch(shortestMatch), createAttribute(createAttribute), tree(tree)
{
}
