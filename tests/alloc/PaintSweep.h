#pragma once

#include <QString>

class QWidget;

// The paint of one view, with each allocation that the program's own code
// makes in it failing in turn (Qt's libraries spared: their failures are
// not the program's to mend). After every point nothing has escaped, the
// view is not left painting, at most one "Out of memory" box told of it,
// and the next paint draws what a paint that never failed draws. The
// widget is painted by grab(), as the window system's paint does it.
// Returns the failure points reached.
namespace paintsweep {

long check(QWidget* widget, const QString& name);

} // namespace paintsweep
