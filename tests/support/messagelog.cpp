#include "messagelog.h"

#include <QMutexLocker>

namespace nvxtest {

namespace {
MessageLog *g_current = nullptr; // the one installed; logs nest like scopes
}

MessageLog::MessageLog(Debug debug) : m_debug(debug)
{
    m_outer = g_current;
    m_previous = qInstallMessageHandler(&MessageLog::handle);
    g_current = this;
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
    g_current = m_outer;
}

QStringList MessageLog::texts(QtMsgType type) const
{
    return startingWith(type, QString());
}

QStringList MessageLog::startingWith(QtMsgType type, const QString &prefix) const
{
    QMutexLocker lock(&m_mutex);
    QStringList out;
    for (const auto &m : m_messages) {
        if (m.first == type && m.second.startsWith(prefix))
            out.append(m.second);
    }
    return out;
}

int MessageLog::count(QtMsgType type, const QString &text) const
{
    return int(texts(type).count(text));
}

void MessageLog::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    MessageLog *log = g_current;
    if (!log)
        return;
    {
        QMutexLocker lock(&log->m_mutex);
        log->m_messages.append({type, text});
    }
    emit log->logged(int(type), text);
    if (log->m_previous && (type != QtDebugMsg || log->m_debug == Debug::PassOn))
        log->m_previous(type, context, text);
}

} // namespace nvxtest
