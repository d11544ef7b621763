#pragma once

// Process-wide state of the application shell. Plain globals, written on
// the GUI thread only.

#include <QString>

// The version shown in the application name and the About box.
extern const QString VERSION_STRING;

// Whether the right-hand group of views and the copy buttons are in use.
// Off, and nothing turns it on: the right group is built, hidden and never fed.
extern bool SPLIT_FLAG;

// Set at program start; every data load clears it at its end. Until the
// first load the event views ignore the mouse and the ribbons have no controls.
extern bool NO_DATA;

// Written by "Control Demo Lights"; nothing reads it.
extern bool DEMO_LIGHTS;
