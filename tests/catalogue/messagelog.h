#pragma once

#include <QObject>
#include <QStringList>
#include <QtGlobal>

// Records the messages logged while it lives and announces each one, so that
// tests can wait for a log line with QSignalSpy.
class MessageLog : public QObject
{
    Q_OBJECT

public:
    MessageLog()
    {
        current = this;
        previous = qInstallMessageHandler(&MessageLog::handle);
    }
    ~MessageLog() override
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }

    int count(QtMsgType type, const QString &text) const
    {
        int n = 0;
        for (const auto &m : messages) {
            if (m.first == type && m.second == text)
                ++n;
        }
        return n;
    }
    int countStartingWith(QtMsgType type, const QString &prefix) const
    {
        int n = 0;
        for (const auto &m : messages) {
            if (m.first == type && m.second.startsWith(prefix))
                ++n;
        }
        return n;
    }
    QStringList texts(QtMsgType type) const
    {
        QStringList out;
        for (const auto &m : messages) {
            if (m.first == type)
                out.append(m.second);
        }
        return out;
    }

signals:
    void logged(int type, const QString &text);

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (current) {
            current->messages.append({type, text});
            emit current->logged(int(type), text);
        }
        if (previous && type != QtDebugMsg)
            previous(type, context, text);
    }

    QList<QPair<QtMsgType, QString>> messages;
    static inline MessageLog *current = nullptr;
    static inline QtMessageHandler previous = nullptr;
};
