#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QtGlobal>

namespace nvxtest {

// Records the messages logged while it lives, from any thread, and announces
// each one, so that a test can read the lines a unit logged or wait for one
// with QSignalSpy. Messages also go on to the handler installed before (Qt
// Test's, which prints them and honours QTest::ignoreMessage); debug lines
// only when asked, since the engine and the scans print many.
class MessageLog : public QObject
{
    Q_OBJECT

public:
    enum class Debug { Keep, PassOn };

    explicit MessageLog(Debug debug = Debug::Keep);
    ~MessageLog() override;
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    // The texts of one type, in the order they came.
    QStringList texts(QtMsgType type) const;
    QStringList startingWith(QtMsgType type, const QString &prefix) const;
    int count(QtMsgType type, const QString &text) const;
    int countStartingWith(QtMsgType type, const QString &prefix) const { return startingWith(type, prefix).size(); }

signals:
    void logged(int type, const QString &text);

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex m_mutex;
    QList<QPair<QtMsgType, QString>> m_messages;
    Debug m_debug;
    QtMessageHandler m_previous = nullptr;
    MessageLog *m_outer = nullptr;
};

} // namespace nvxtest
