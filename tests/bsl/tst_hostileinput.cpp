// Faults found by feeding the engine arbitrary files and replies, kept as
// tests against a loader over flash that runs in the test process.

#include "enginestate.h"
#include "recordingtransport.h"
#include "enginebench.h"
#include "titext.h"
#include "titxtfiles.h"

#include <QTemporaryDir>
#include <QtTest>

class TestHostileInput : public QObject
{
    Q_OBJECT

private slots:
    void oddStartBlocksCheckTheirOwnBytes_data();
    void oddStartBlocksCheckTheirOwnBytes();
};

void TestHostileInput::oddStartBlocksCheckTheirOwnBytes_data()
{
    QTest::addColumn<unsigned>("actions");
    QTest::addColumn<int>("preset"); // 0 erased, 1 the file's bytes, 2 file's bytes but the last, 3 neighbours only
    QTest::addColumn<int>("result");

    const unsigned program = bsl::kActProgram;
    const unsigned verify = bsl::kActVerify;
    const unsigned erase = bsl::kActEraseCheck;
    // 300 bytes from 0x1101: the second block starts at the odd 0x11F1,
    // right after programmed bytes.
    QTest::newRow("program and verify") << (program | verify) << 0 << 0;
    QTest::newRow("verify only, all there") << verify << 1 << 0;
    QTest::newRow("verify only, last byte missing") << verify << 2 << 98;
    QTest::newRow("erase check, neighbours programmed") << erase << 3 << 0;
    QTest::newRow("erase check, last byte programmed") << erase << 2 << 97;
}

void TestHostileInput::oddStartBlocksCheckTheirOwnBytes()
{
    QFETCH(unsigned, actions);
    QFETCH(int, preset);
    QFETCH(int, result);

    constexpr uint32_t start = 0x1101;
    constexpr int count = 300;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("odd.txt"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    std::vector<uint8_t> bytes(count);
    for (int i = 0; i < count; ++i)
        bytes[size_t(i)] = uint8_t(0x20 + i);
    f.write(tiTxt(start, bytes));
    f.close();

    nvxtest::MemoryTransport target;
    for (int i = 0; i < count; ++i) {
        if (preset == 1 || (preset == 2 && i < count - 1))
            target.memory[start + uint32_t(i)] = bytes[size_t(i)];
    }
    if (preset == 2 && actions == bsl::kActEraseCheck) {
        target.memory.clear();
        target.memory[start + count - 1] = 0x00;
    }
    if (preset == 3) {
        target.memory[start - 1] = 0x00;
        target.memory[start + count] = 0x00;
    }

    RecordingSink sink;
    bsl::EngineSession run(bsl::RunRequest(), sink, &target);
    QCOMPARE(run.link.comOpen("memory", 300, 4), 0);
    const int code = bsl::programTIText(run, file.toLocal8Bit().constData(), nullptr, actions, 0);
    run.link.comClose();

    QCOMPARE(code, result);
    if (result == 0 && (actions & bsl::kActProgram)) {
        for (int i = 0; i < count; ++i)
            QCOMPARE(target.at(start + uint32_t(i)), uint8_t(0x20 + i));
        QCOMPARE(target.at(start - 1), uint8_t(0xFF));
        QCOMPARE(target.at(start + count), uint8_t(0xFF));
    }
    if (result == 98)
        QVERIFY(sink.has(QByteArray("Verification failed at ") + QByteArray::number(start + count - 1) + " (ff, "
                         + QByteArray::number(uint8_t(0x20 + count - 1), 16) + ")\n"));
    if (result == 97)
        QVERIFY(sink.has(QByteArray("Erase Check failed at ") + QByteArray::number(start + count - 1) + " (0)\n"));
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostileinput.moc"
