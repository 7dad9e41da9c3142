#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects debug, warning and critical lines while alive; other messages go
// on to the handler that was installed before.
class LogCapture
{
public:
    LogCapture()
    {
        lines().clear();
        warningLines().clear();
        criticalLines().clear();
        m_previous = qInstallMessageHandler(&LogCapture::handle);
        previous() = m_previous;
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList debugLines() const { return lines(); }
    QStringList warnings() const { return warningLines(); }
    QStringList criticals() const { return criticalLines(); }
    QStringList matching(const QString &prefix) const
    {
        QStringList out;
        for (const QString &line : lines())
            if (line.startsWith(prefix))
                out.append(line);
        return out;
    }

private:
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
    static QStringList &warningLines()
    {
        static QStringList l;
        return l;
    }
    static QStringList &criticalLines()
    {
        static QStringList l;
        return l;
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler h = nullptr;
        return h;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg)
            lines().append(message);
        else if (type == QtWarningMsg)
            warningLines().append(message);
        else if (type == QtCriticalMsg)
            criticalLines().append(message);
        else if (previous())
            previous()(type, context, message);
    }

    QtMessageHandler m_previous = nullptr;
};
