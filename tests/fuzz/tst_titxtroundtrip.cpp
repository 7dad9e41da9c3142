// Random images written as TI-TXT, by the engine's writer, by the in-memory
// formatter and by an independent converter (srec_cat), read back by the
// engine's reader into a loader over flash and by the in-memory parser: every
// byte must come back, and nothing else may be written.

#include "childenvironment.h"
#include "enginestate.h"
#include "fuzzsupport.h"
#include "memoryread.h"
#include "titext.h"
#include "titxtimage.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <map>

namespace {

using Image = titxt::Image;

enum Writer { Engine, Formatter, SrecCat };

// Segments in address order with holes between them; lengths and starts odd
// or even at random; the last one may end exactly at the top of memory.
Image randomImage(quint32 seed, uint32_t top)
{
    QRandomGenerator random(seed);
    Image image;
    uint32_t address = 0x0200 + random.bounded(0x200u);
    const int segments = 1 + int(random.bounded(8u));
    for (int s = 0; s < segments && address < top; ++s) {
        const uint32_t room = top - address;
        uint32_t length = 1 + random.bounded(600u);
        if (length > room || (s == segments - 1 && random.bounded(2u) == 0))
            length = room < 600 ? room : length; // reach the top when it is near
        QByteArray bytes(int(length), Qt::Uninitialized);
        for (char &b : bytes)
            b = char(random.bounded(256u));
        image.append({address, bytes});
        address += length + 1 + random.bounded(top / 8);
        if (s == segments - 2 && random.bounded(3u) == 0 && top > address + 64)
            address = top - 1 - random.bounded(64u); // the last segment near the top
    }
    return image;
}

std::map<uint32_t, uint8_t> flatten(const Image &image)
{
    std::map<uint32_t, uint8_t> bytes;
    for (const titxt::Block &s : image) {
        for (int i = 0; i < s.bytes.size(); ++i)
            bytes[s.address + uint32_t(i)] = uint8_t(s.bytes[i]);
    }
    return bytes;
}

// Whole words only: an odd segment gets an erased byte after it.
bool writeWithEngine(const QString &path, const Image &image)
{
    bsl::TiTxtWriter writer;
    if (!writer.tiTxtOpen(path.toLocal8Bit().constData()))
        return false;
    for (const titxt::Block &s : image) {
        QByteArray bytes = s.bytes;
        if (bytes.size() % 2)
            bytes.append(char(0xFF));
        writer.tiTxtWriteBlock(s.address, uint16_t(bytes.size() / 2), reinterpret_cast<const uint8_t *>(bytes.constData()));
    }
    return writer.tiTxtClose();
}

bool writeWithFormatter(const QString &path, const Image &image)
{
    QFile f(path);
    const QByteArray text = titxt::format(image);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

bool writeWithSrecCat(const QString &srecCat, const QTemporaryDir &dir, const QString &path, const Image &image)
{
    QStringList args;
    for (int i = 0; i < image.size(); ++i) {
        const QString bin = dir.filePath(QStringLiteral("segment%1.bin").arg(i));
        QFile f(bin);
        if (!f.open(QIODevice::WriteOnly) || f.write(image[i].bytes) != image[i].bytes.size())
            return false;
        args << bin << QStringLiteral("-binary") << QStringLiteral("-offset")
             << QStringLiteral("0x%1").arg(image[i].address, 0, 16);
    }
    args << QStringLiteral("-o") << path << QStringLiteral("-TI_TXT");
    return nvxtest::runChild(srecCat, args, 20000) == 0;
}

// Programs and verifies the text into a fresh loader; returns what it holds.
std::map<uint32_t, uint8_t> readBack(const QString &file, const QByteArray *bufferText, bool extended, int *result)
{
    bsl::RunRequest request;
    request.settings.actions.extendedMemory = extended;
    nvxtest::MemoryTransport transport;
    transport.recordTraffic = false;
    fuzz::QuietSink sink;
    bsl::EngineSession run(request, sink, &transport);
    run.link.comOpen("roundtrip", 300, 4);
    *result = bsl::programTIText(run, file.toLocal8Bit().constData(), bufferText ? bufferText->constData() : nullptr,
                                 bsl::kActProgram | bsl::kActVerify, 0);
    run.link.comClose();
    std::map<uint32_t, uint8_t> held;
    for (const auto &[address, value] : transport.memory) {
        if (value != 0xFF)
            held[address] = value;
    }
    return held;
}

// Erased bytes read as 0xFF whether written or not.
std::map<uint32_t, uint8_t> programmed(const std::map<uint32_t, uint8_t> &image)
{
    std::map<uint32_t, uint8_t> out;
    for (const auto &[address, value] : image) {
        if (value != 0xFF)
            out[address] = value;
    }
    return out;
}

QString describeDifference(const std::map<uint32_t, uint8_t> &expected, const std::map<uint32_t, uint8_t> &got)
{
    for (const auto &[address, value] : expected) {
        const auto it = got.find(address);
        if (it == got.end() || it->second != value)
            return QStringLiteral("0x%1: expected %2, got %3")
                .arg(address, 0, 16)
                .arg(value, 2, 16)
                .arg(it == got.end() ? QStringLiteral("erased") : QString::number(it->second, 16));
    }
    for (const auto &[address, value] : got) {
        if (!expected.count(address))
            return QStringLiteral("0x%1: %2 written outside the image").arg(address, 0, 16).arg(value, 2, 16);
    }
    return QString();
}

} // namespace

class TestTiTxtRoundTrip : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();

private:
    QString srecCat;
};

void TestTiTxtRoundTrip::initTestCase()
{
    srecCat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
}

void TestTiTxtRoundTrip::roundTrip_data()
{
    QTest::addColumn<bool>("extended");
    QTest::addColumn<int>("writer");
    QTest::addColumn<quint32>("seed");

    const char *const names[] = {"engine", "formatter", "srec_cat"};
    for (quint32 seed = 1; seed <= 12; ++seed) {
        for (int writer : {Engine, Formatter, SrecCat}) {
            QTest::addRow("16-bit %s seed %u", names[writer], seed) << false << writer << seed;
            QTest::addRow("20-bit %s seed %u", names[writer], seed) << true << writer << seed;
        }
    }
}

void TestTiTxtRoundTrip::roundTrip()
{
    QFETCH(bool, extended);
    QFETCH(int, writer);
    QFETCH(quint32, seed);
    if (writer == SrecCat && srecCat.isEmpty())
        QSKIP("srec_cat (Debian package srecord) is not installed");

    const uint32_t top = extended ? 0x100000 : 0x10000;
    const Image image = randomImage(seed * 7919u + (extended ? 1 : 0), top);
    const std::map<uint32_t, uint8_t> expected = programmed(flatten(image));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("image.txt"));
    if (writer == SrecCat)
        QVERIFY(writeWithSrecCat(srecCat, dir, file, image));
    else if (writer == Formatter)
        QVERIFY(writeWithFormatter(file, image));
    else
        QVERIFY(writeWithEngine(file, image));

    int result = -1;
    const std::map<uint32_t, uint8_t> fromFile = readBack(file, nullptr, extended, &result);
    QCOMPARE(result, 0);
    QCOMPARE(describeDifference(expected, fromFile), QString());
    QCOMPARE(bsl::checkTIText(file.toLocal8Bit().constData(), nullptr), 0);

    // The same text as buffer text (how the saved information memory goes
    // back), followed by a file holding only the end line.
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    // The engine's writer pads an odd block with an erased byte, which lies
    // past 20 bits when the block ends at the top; the parser refuses that.
    const titxt::Block &last = image.last();
    const bool paddedPastTop = writer == Engine && last.bytes.size() % 2 != 0
                               && last.address + uint32_t(last.bytes.size()) == titxt::kAddressLimit;
    Image parsed;
    QString reason;
    QCOMPARE(titxt::parse(text, &parsed, &reason), !paddedPastTop);
    if (!paddedPastTop)
        QCOMPARE(describeDifference(expected, programmed(flatten(parsed))), QString());

    const QString endOnly = dir.filePath(QStringLiteral("end.txt"));
    QFile e(endOnly);
    QVERIFY(e.open(QIODevice::WriteOnly) && e.write("q\n") == 2);
    e.close();
    const std::map<uint32_t, uint8_t> fromBuffer = readBack(endOnly, &text, extended, &result);
    QCOMPARE(result, 0);
    QCOMPARE(describeDifference(expected, fromBuffer), QString());
}

QTEST_GUILESS_MAIN(TestTiTxtRoundTrip)
#include "tst_titxtroundtrip.moc"
