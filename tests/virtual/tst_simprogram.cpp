// The nvx7300-sim program: first line, options, stop signal, memory dump.
#include "childenvironment.h"
#include "simlink.h"

#include <QtTest>

#include <csignal>

using namespace simtest;

class TestSimProgram : public QObject {
    Q_OBJECT

private slots:
    void servesUntilTerminatedAndDumps();
    void faultOptionsApply();
    void loadsImageWithConfiguredIdentity();
    void rejectsBadOptions();

private:
    // Starts the program; returns the slave path from its first line.
    QString launch(QProcess &process, const QStringList &arguments);
    bool terminate(QProcess &process);
};

QString TestSimProgram::launch(QProcess &process, const QStringList &arguments)
{
    process.setProcessEnvironment(nvxtest::childEnvironment());
    process.start(QStringLiteral(NVX_SIM_PROGRAM), arguments);
    if (!process.waitForStarted(5000))
        return {};
    QElapsedTimer timer;
    timer.start();
    while (!process.canReadLine() && timer.elapsed() < 5000)
        process.waitForReadyRead(100);
    return QString::fromUtf8(process.readLine()).trimmed();
}

bool TestSimProgram::terminate(QProcess &process)
{
    ::kill(pid_t(process.processId()), SIGTERM);
    return process.waitForFinished(5000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

void TestSimProgram::servesUntilTerminatedAndDumps()
{
    QTemporaryDir dir;
    const QString dumpPath = dir.filePath("dump.txt");
    QProcess process;
    const QString path = launch(process, {"--version-major", "3", "--version-minor", "4", "--dump", dumpPath});
    QVERIFY2(path.startsWith("/dev/"), qPrintable(path));
    {
        Link link(path.toStdString());
        QVERIFY(link.open());
        QVERIFY(link.unlock());
        QCOMPARE(link.command(0x14, 0x1090, 2).mid(4, 2), QByteArray::fromHex("0304"));
        QCOMPARE(link.command(0x12, 0x2000, 2, QByteArray::fromHex("1234")), QByteArray(1, kAck));
    }
    QVERIFY(terminate(process));
    QFile dump(dumpPath);
    QVERIFY(dump.open(QIODevice::ReadOnly));
    nvxsim::Simulator reloaded;
    QVERIFY(reloaded.loadTiTxt(dump.readAll().toStdString()));
    QCOMPARE(reloaded.read(0x1090, 2), (std::vector<uint8_t>{3, 4}));
    QCOMPARE(reloaded.read(0x2000, 2), (std::vector<uint8_t>{0x12, 0x34}));
    const auto vectors = nvxsim::defaultVectors();
    QCOMPARE(reloaded.read(0xFFE0, 32), std::vector<uint8_t>(vectors.begin(), vectors.end()));
}

void TestSimProgram::faultOptionsApply()
{
    QProcess process;
    const QString path = launch(process, {"--nak-after", "1"});
    QVERIFY(path.startsWith("/dev/"));
    Link link(path.toStdString());
    QVERIFY(link.open());
    QVERIFY(link.unlock());
    QCOMPARE(link.command(0x14, 0x1080, 2), QByteArray(1, kNak));
    link.close();
    QVERIFY(terminate(process));

    const QString muted = launch(process, {"--mute-after", "1", "--bad-command-after", "0"});
    Link mute(muted.toStdString());
    QVERIFY(mute.open());
    QVERIFY(mute.unlock());
    QVERIFY(mute.sync());
    mute.send(frame(0x14, 0x1080, 2));
    QCOMPARE(mute.receive(1, 150), QByteArray());
    mute.close();
    QVERIFY(terminate(process));

    const QString header = launch(process, {"--bad-length-after", "1", "--bad-command-after", "1"});
    Link spoilt(header.toStdString());
    QVERIFY(spoilt.open());
    QVERIFY(spoilt.unlock());
    QCOMPARE(spoilt.command(0x14, 0x1080, 2).left(4), QByteArray::fromHex("80140204"));
    spoilt.close();
    QVERIFY(terminate(process));

    const QString silent = launch(process, {"--no-sync"});
    Link quiet(silent.toStdString());
    QVERIFY(quiet.open());
    quiet.send(QByteArray(1, char(0x80)));
    QCOMPARE(quiet.receive(1, 150), QByteArray());
    quiet.close();
    QVERIFY(terminate(process));
}

void TestSimProgram::loadsImageWithConfiguredIdentity()
{
    QTemporaryDir dir;
    QFile image(dir.filePath("image.txt"));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write("@1080\r\nAA 55\r\n@FFE0\r\n" + QByteArray("00 ").repeated(32) + "\r\nq\r\n");
    image.close();
    QProcess process;
    const QString path = launch(process, {"--image", image.fileName(), "--bsl-version", "0x0110",
                                          "--family", "F249"});
    Link link(path.toStdString());
    QVERIFY(link.open());
    QVERIFY(link.unlock(QByteArray(32, char(0))));
    const QByteArray id = link.command(0x14, 0x0FF0, 14).mid(4, 14);
    QCOMPARE(id.left(2), QByteArray::fromHex("F249"));
    QCOMPARE(id.mid(10, 2), QByteArray::fromHex("0110"));
    QCOMPARE(link.command(0x14, 0x1080, 4).mid(4, 4), QByteArray::fromHex("AA55FFFF"));
    link.close();
    QVERIFY(terminate(process));
}

void TestSimProgram::rejectsBadOptions()
{
    QProcess process;
    process.setProcessEnvironment(nvxtest::childEnvironment());
    process.start(QStringLiteral(NVX_SIM_PROGRAM), {"--bsl-version", "xyz"});
    QVERIFY(process.waitForFinished(5000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestSimProgram)
#include "tst_simprogram.moc"
