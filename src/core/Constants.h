#pragma once

// Process-wide names, paths, theme colours and the shared absent value.
// All of them are plain globals built before the application object exists
// (in the order they are declared here) and live until the process ends.
// The few variables among them are written on the GUI thread only, before
// the work that reads them starts, so no lock guards them.

#include <QColor>
#include <QFont>
#include <QString>

class TVariant;

// Event attributes treated specially by the import, the data model and the
// views. The three variables follow the import dialog's choices.
extern QString TIME_ATTRIBUTE;           // variable, starts as "frame.time_epoch"
extern const QString ETH_SRC;
extern QString SRC_ATTRIBUTE;            // variable, starts as "ip.src"
extern QString DST_ATTRIBUTE;            // variable, starts as "ip.dst"
extern const QString GEOIP_SRC_COUNTRY;
extern const QString GEOIP_DST_COUNTRY;

extern const QString PRODUCT_NAME;
// The settings file in the directory the program was started from.
extern const QString SETTINGS_PATH;
// Locations of the capture tools; the settings file and the capture dialog
// replace them.
extern QString WIRESHARK_PATH;
extern QString TSHARK_PATH;

// Derived time and length attributes that the import adds to every event.
extern const QString FRAME_TIME_SECOND;
extern const QString FRAME_TIME_MINUTE;
extern const QString FRAME_TIME_HOUR;
extern const QString FRAME_TIME_DAY;
extern const QString FRAME_TIME_DATE;
extern const QString FRAME_TIME_WEEK;
extern const QString FRAME_TIME_MONTH;
extern const QString FRAME_TIME_YEAR;
extern const QString FRAME_LENGTH;
extern const QString FRAME_TIME_STRDAY;
extern const QString FRAME_TIME_STRYEAR;

// Trace (conversation) attributes; their order here is their column index
// on the trace side of the glyph store.
extern const QString CONV_CONVID;
extern const QString CONV_LENGTH;
extern const QString CONV_FROM_EPOCH;
extern const QString CONV_TO_EPOCH;
extern const QString CONV_DURATION;
extern const QString CONV_SRC_COUNTRY;
extern const QString CONV_DST_COUNTRY;
extern const QString CONV_SRC;
extern const QString CONV_DST;
extern const QString CONV_FROM_SECOND;
extern const QString CONV_FROM_MINUTE;
extern const QString CONV_FROM_HOUR;
extern const QString CONV_FROM_DAY;
extern const QString CONV_FROM_WEEK;
extern const QString CONV_FROM_MONTH;
extern const QString CONV_FROM_YEAR;
extern const QString CONV_FROM_STRDAY;
extern const QString CONV_FROM_STRMONTH;
extern const QString CONV_TO_SECOND;
extern const QString CONV_TO_MINUTE;
extern const QString CONV_TO_HOUR;
extern const QString CONV_TO_DAY;
extern const QString CONV_TO_WEEK;
extern const QString CONV_TO_MONTH;
extern const QString CONV_TO_YEAR;
extern const QString CONV_TO_STRDAY;
extern const QString CONV_TO_STRMONTH;

// SMB2 fields and the frame number, used to pair requests with responses
// and to derive per-file command sequences.
extern const QString SMB2_FID;
extern const QString SMB2_FILENAME;
extern const QString SMB2_RESPONSE_TO;
extern const QString SMB2_FLAGS_RESPONSE;
extern const QString SMB2_MSG_ID;
extern const QString SMB2_FILE;
extern const QString FRAME_NUMBER;
extern const QString SMB2_CSEQ_FILENAME;
extern const QString SMB2_CSEQ_SESSION;
extern const QString SMB2_CMD;
extern const QString SMB2_NT_STATUS;

// The application font; the main window stores its 8-point font here.
extern QFont APPLICATION_FONT;

// Theme colours.
extern const QColor LINE_COLOR;
extern const QColor EDGE_COLOR;
extern const QColor TEXT_COLOR;
extern const QColor DEFAULT_FILL_COLOR;
extern const QColor SELECTION_COLOR;
// The highlight colour; the event matrix turns it red while it picks a glyph.
extern QColor HOVER_COLOR;
extern const QColor WHITE_COLOR;

// The one absent value that stands for every missing attribute of every
// event. Never freed and never modified.
extern const TVariant* const NULL_VALUE;

// Name of the operating system this build is for: "windows", "linux" or
// "macos".
QString osName();
