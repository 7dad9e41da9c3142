// TI-TXT reader on arbitrary text, plain or scrambled, from a file and from a
// buffer, against a well-behaved loader; also the line-level helpers, the
// in-memory parser and the firmware check built on it.
//
// Input: one flags byte, one frame-size byte, then the text.
//   flags bit 0: the text goes in as buffer text (followed by a small file)
//   flags bit 1: the text is scrambled first (the descrambler then sees the
//                stored form of files that were valid before)
//   flags bits 2-3: actions (program, program + verify, erase check, password)
//   flags bits 4-6: lines to skip

#include "enginestate.h"
#include "firmwarecheck.h"
#include "fuzzsupport.h"
#include "scramblekey.h"
#include "titext.h"
#include "titxtimage.h"

#include <QByteArray>
#include <QList>

#include <cstring>

namespace {

const unsigned kActionSets[4] = {
    bsl::kActProgram,
    bsl::kActProgram | bsl::kActVerify,
    bsl::kActEraseCheck | bsl::kActProgram | bsl::kActVerify,
    bsl::kActPassword,
};

// Each line through the helpers the reader and the pre-check share.
void lineHelpers(const QByteArray &text)
{
    int key = 0;
    for (const QByteArray &piece : text.split('\n')) {
        char line[bsl::kLineBufferSize] = {};
        std::memcpy(line, piece.constData(), size_t(qMin(piece.size(), bsl::kMaxTiTextLine - 1)));
        std::strcat(line, "\n");
        bsl::descrambleLine(line, key);
        uint8_t values[bsl::kMaxTiTextLine] = {};
        const int n = bsl::parseDataLine(line, values, 16);
        if (n > 16)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const std::string &dir = fuzz::scratchDir();
    const uint8_t flags = data[0];
    QByteArray text(reinterpret_cast<const char *>(data + 2), int(size - 2));
    if (flags & 0x02)
        text = bsl::scrambleText(text);

    bsl::RunRequest request;
    request.settings.maxFrameData = uint16_t(16 + (data[1] % 15) * 16); // 16 .. 240
    request.settings.actions.extendedMemory = (data[1] & 0x80) != 0;

    fuzz::QuietSink sink;
    nvxtest::MemoryTransport transport;
    transport.recordTraffic = false;
    bsl::EngineSession run(request, sink, &transport);
    run.link.comOpen("fuzz", 300, 4);

    const std::string file = dir + "/input.txt";
    const unsigned actions = kActionSets[(flags >> 2) & 3];
    const int skip = (flags >> 4) & 7;
    if (flags & 0x01) {
        static const char tail[] = "@FFE0\n01 02\nq\n";
        fuzz::writeFile(file, tail, sizeof tail - 1);
        const std::string buffer = text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0')).toStdString();
        bsl::checkTIText(file.c_str(), buffer.c_str());
        bsl::programTIText(run, file.c_str(), buffer.c_str(), actions, skip);
    } else {
        fuzz::writeFile(file, text.constData(), size_t(text.size()));
        bsl::checkTIText(file.c_str(), nullptr);
        bsl::programTIText(run, file.c_str(), nullptr, actions, skip);
        if (actions == bsl::kActPassword) {
            run.settings.passwordIndex = skip;
            bsl::txPassword(run, file.c_str());
        }
    }
    lineHelpers(text);

    // Whatever parses formats to text that parses to the same blocks.
    titxt::Image image, again;
    QString reason;
    if (titxt::parse(text, &image, &reason)
        && (!titxt::parse(titxt::format(image), &again, &reason) || titxt::format(again) != titxt::format(image)))
        std::abort();
    bsl::checkFirmwareText(text);

    run.link.comClose();
    return 0;
}
