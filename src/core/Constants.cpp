#include "core/Constants.h"

#include "core/TVariant.h"

#include <QDir>

// Defined in the order the rest of the program expects them to be built.

QString TIME_ATTRIBUTE = QStringLiteral("frame.time_epoch");
const QString ETH_SRC = QStringLiteral("eth.src");
QString SRC_ATTRIBUTE = QStringLiteral("ip.src");
QString DST_ATTRIBUTE = QStringLiteral("ip.dst");
const QString GEOIP_SRC_COUNTRY = QStringLiteral("ip.geoip.src_country");
const QString GEOIP_DST_COUNTRY = QStringLiteral("ip.geoip.dst_country");

const QString PRODUCT_NAME = QStringLiteral("LumiVane");
#ifdef Q_OS_WIN
const QString SETTINGS_PATH = QDir::currentPath() + QStringLiteral("\\settings.txt");
QString WIRESHARK_PATH = QStringLiteral("C:\\Program Files\\Wireshark\\wireshark.exe");
QString TSHARK_PATH = QStringLiteral("C:\\Program Files\\Wireshark\\tshark.exe");
#else
// Linux and macOS: the tools in the folder the settings file defaults to.
const QString SETTINGS_PATH = QDir::currentPath() + QStringLiteral("/settings.txt");
QString WIRESHARK_PATH = QStringLiteral("/usr/bin/wireshark");
QString TSHARK_PATH = QStringLiteral("/usr/bin/tshark");
#endif

const QString FRAME_TIME_SECOND = QStringLiteral("frame.time_second");
const QString FRAME_TIME_MINUTE = QStringLiteral("frame.time_minute");
const QString FRAME_TIME_HOUR = QStringLiteral("frame.time_hour");
const QString FRAME_TIME_DAY = QStringLiteral("frame.time_day");
const QString FRAME_TIME_DATE = QStringLiteral("frame.time_date");
const QString FRAME_TIME_WEEK = QStringLiteral("frame.time_week");
const QString FRAME_TIME_MONTH = QStringLiteral("frame.time_month");
const QString FRAME_TIME_YEAR = QStringLiteral("frame.time_year");
const QString FRAME_LENGTH = QStringLiteral("frame.length");
const QString FRAME_TIME_STRDAY = QStringLiteral("frame.time_strday");
const QString FRAME_TIME_STRYEAR = QStringLiteral("frame.time_stryear");

const QString CONV_CONVID = QStringLiteral("conv.convid");
const QString CONV_LENGTH = QStringLiteral("conv.length");
const QString CONV_FROM_EPOCH = QStringLiteral("conv.from_epoch");
const QString CONV_TO_EPOCH = QStringLiteral("conv.to_epoch");
const QString CONV_DURATION = QStringLiteral("conv.duration");
const QString CONV_SRC_COUNTRY = QStringLiteral("conv.src_country");
const QString CONV_DST_COUNTRY = QStringLiteral("conv.dst_country");
const QString CONV_SRC = QStringLiteral("conv.src");
const QString CONV_DST = QStringLiteral("conv.dst");
const QString CONV_FROM_SECOND = QStringLiteral("conv.from_second");
const QString CONV_FROM_MINUTE = QStringLiteral("conv.from_minute");
const QString CONV_FROM_HOUR = QStringLiteral("conv.from_hour");
const QString CONV_FROM_DAY = QStringLiteral("conv.from_day");
const QString CONV_FROM_WEEK = QStringLiteral("conv.from_week");
const QString CONV_FROM_MONTH = QStringLiteral("conv.from_month");
const QString CONV_FROM_YEAR = QStringLiteral("conv.from_year");
const QString CONV_FROM_STRDAY = QStringLiteral("conv.from_strday");
const QString CONV_FROM_STRMONTH = QStringLiteral("conv.from_strmonth");
const QString CONV_TO_SECOND = QStringLiteral("conv.to_second");
const QString CONV_TO_MINUTE = QStringLiteral("conv.to_minute");
const QString CONV_TO_HOUR = QStringLiteral("conv.to_hour");
const QString CONV_TO_DAY = QStringLiteral("conv.to_day");
const QString CONV_TO_WEEK = QStringLiteral("conv.to_week");
const QString CONV_TO_MONTH = QStringLiteral("conv.to_month");
const QString CONV_TO_YEAR = QStringLiteral("conv.to_year");
const QString CONV_TO_STRDAY = QStringLiteral("conv.to_strday");
const QString CONV_TO_STRMONTH = QStringLiteral("conv.to_strmonth");

const QString SMB2_FID = QStringLiteral("smb2.fid");
const QString SMB2_FILENAME = QStringLiteral("smb2.filename");
const QString SMB2_RESPONSE_TO = QStringLiteral("smb2.response_to");
const QString SMB2_FLAGS_RESPONSE = QStringLiteral("smb2.flags.response");
const QString SMB2_MSG_ID = QStringLiteral("smb2.msg_id");
const QString SMB2_FILE = QStringLiteral("smb2.file");
const QString FRAME_NUMBER = QStringLiteral("frame.number");
const QString SMB2_CSEQ_FILENAME = QStringLiteral("smb2.cSeq.filename");
const QString SMB2_CSEQ_SESSION = QStringLiteral("smb2.cSeq.session");
const QString SMB2_CMD = QStringLiteral("smb2.cmd");
const QString SMB2_NT_STATUS = QStringLiteral("smb2.nt_status");

QFont APPLICATION_FONT;

const QColor LINE_COLOR(200, 200, 200, 255);
const QColor EDGE_COLOR(177, 189, 197, 255);
const QColor TEXT_COLOR(53, 56, 57, 255);
const QColor DEFAULT_FILL_COLOR(222, 226, 230, 255);
const QColor SELECTION_COLOR(0, 0, 255, 150);
QColor HOVER_COLOR(255, 128, 0, 150);
const QColor WHITE_COLOR(Qt::white);

// Deliberately never freed: events may still be released at process exit.
const TVariant* const NULL_VALUE = new TVariant();

QString osName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("windows");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("macos");
#else
    return QStringLiteral("linux");
#endif
}
