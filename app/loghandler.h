#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

namespace nvx {

// Process-wide message handler: appends one line per message to
// "<AppDataLocation>/NVX7300Toolkit.log", then hands the message on to the
// handler that was current before start-up (Qt's default).
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The line written for one message, without its line feed; empty for
// debug, info and warning messages.
QString logLineFor(QtMsgType type, const QString &message, const QString &timestamp);

// The log file's path as it stands now (evaluated anew for every message).
QString logFilePath();

} // namespace nvx
