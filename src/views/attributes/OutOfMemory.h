#pragma once

class QString;
class QWidget;

// The one message of an action of the side panels that ran out of memory:
// "The attribute panel ran out of memory while <action> and <shows>",
// under a "Failed to ..." title, through MessageAsker. Throws nothing: when
// not even the message finds memory, a fixed line goes to stderr.
void tellOutOfMemory(QWidget* parent, const QString& title, const QString& action, const QString& shows) noexcept;
// The same for another subject than the attribute panel ("The histogram").
void tellOutOfMemory(QWidget* parent, const QString& title, const char* subject, const QString& action,
                     const QString& shows) noexcept;
