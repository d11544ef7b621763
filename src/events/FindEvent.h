#pragma once

#include <QEvent>
#include <QList>
#include <QVariant>

class QObject;
class ParseNode;

// A search for a drawn pattern. The pattern tree stays with the sender: the
// receiver copies it if it keeps it beyond the delivery.
class FindEvent : public QEvent
{
public:
    FindEvent(QObject* sender, ParseNode* tree, bool findTraces, bool shortestMatch,
              bool createAttribute, const QList<QVariant>& args = {});

    QObject* sender;
    QList<QVariant> args;
    bool findTraces;       // select whole traces rather than the matched events
    bool shortestMatch;
    bool createAttribute;  // number the matches in a new attribute
    ParseNode* tree;
};
