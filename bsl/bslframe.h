#pragma once

#include "engineresult.h"

#include <cstdint>

namespace bsl {

// Bytes of the serial bootstrap-loader protocol.
constexpr uint8_t kBslSync = 0x80; // sync byte; also the header of every frame
constexpr uint8_t kBslAck = 0x90; // DATA_ACK (upper nibble)
constexpr uint8_t kBslNak = 0xA0; // DATA_NAK (upper nibble)
constexpr uint8_t kBslCmdFailed = 0x70; // command failed (upper nibble)
constexpr uint8_t kBslDataFrame = 0x80; // data frame follows (upper nibble)
constexpr uint8_t kBslPadByte = 0xFF; // pads odd addresses and lengths

// Command codes.
constexpr uint8_t kCmdRxPassword = 0x10;
constexpr uint8_t kCmdWriteBlock = 0x12;
constexpr uint8_t kCmdReadBlock = 0x14;
constexpr uint8_t kCmdEraseSegment = 0x16;
constexpr uint8_t kCmdMassErase = 0x18;
constexpr uint8_t kCmdLoadPc = 0x1A;
constexpr uint8_t kCmdEraseCheck = 0x1C;
constexpr uint8_t kCmdChangeBaud = 0x20;
constexpr uint8_t kCmdSetOffset = 0x21;

constexpr uint16_t kPasswordAddress = 0xFFE0; // interrupt vectors = password
constexpr uint16_t kPasswordLength = 32; // bytes
constexpr uint16_t kMassEraseAddress = 0xFF00;
constexpr uint16_t kMassEraseKey = 0xA506; // length field of a mass erase
constexpr uint16_t kEraseSegmentKey = 0xA502; // length field of a segment erase

constexpr int kFrameBufferSize = 256; // HDR .. CKH
constexpr int kMaxReplyData = 250; // largest L1 of a reply data frame

constexpr int kSyncTries = 3;
constexpr int kSyncReplyMs = 100; // per try

// Inverted XOR of the little-endian 16-bit words of bytes[0..count).
// Low byte = CKL, high byte = CKH.
uint16_t bslChecksum(const uint8_t *bytes, int count);

// Builds HDR CMD L1 L2 data CKL CKH into frame (room for count + 7 bytes);
// an odd count is padded with 0xFF first. Returns the frame length.
int bslBuildFrame(uint8_t command, const uint8_t *data, int count, uint8_t *frame);

class EngineSink;
class SerialLink;

// A write the loader acknowledged is confirmed by the sync that follows it: a
// frame that lost a byte on the line is completed by the sync byte and
// answered with NAK (or not at all), and a stray ACK may have stood in for its
// reply. So a sync after a write that is not acknowledged at once sends the
// write again (flash only clears bits: the same bytes twice are harmless),
// together with the frames bslBeginWrite grouped with it.
constexpr int kWriteResends = 2; // then the write fails

// The frame layer of one run, on its line: frames, checksums, reply codes and
// the two line sequences. Its buffers and the write it may send again live
// as long as the run.
class FrameLayer
{
public:
    FrameLayer(SerialLink &link, EngineSink &sink);

    // Sends one command after its own synchronisation. blockOut is padded in
    // place (needs two spare bytes); at most inCapacity reply bytes go to blockIn.
    int bslTxRx(uint8_t command, uint16_t address, uint16_t length, uint8_t *blockOut, uint8_t *blockIn,
                int inCapacity = kFrameBufferSize);
    int bslSync();
    int comTxRx(uint8_t command, const uint8_t *frameData, uint8_t count);
    void bslReset(bool invokeBsl);

    // The frames from here up to the next write (a load PC that serves it) are
    // sent again with it.
    void bslBeginWrite();

    // Data length of the last reply data frame, 0 after any other reply.
    int bslReplyLength() const { return m_replyLength; }

private:
    static constexpr int kWriteGroupFrames = 2; // a write and the load PC that serves it
    struct SentFrame
    {
        uint8_t command = 0;
        uint8_t count = 0;
        uint8_t data[kFrameBufferSize] = {};
    };
    // A write and the frames sent again with it (before it).
    struct WriteGroup
    {
        SentFrame frames[kWriteGroupFrames];
        int count = 0;
    };

    int receiveDataFrame();
    void noteSent(uint8_t command, const uint8_t *data, uint8_t count);
    int syncTries(bool *firstAcked);
    int syncConfirmingWrite();

    SerialLink &m_link;
    EngineSink &m_sink;
    uint8_t m_frame[kFrameBufferSize + 2] = {}; // transmit frame, HDR .. CKH
    uint8_t m_rx[kFrameBufferSize] = {}; // HDR CMD L1 L2 data CKL CKH
    int m_replyLength = 0; // L1 of the last data frame
    WriteGroup m_next; // being sent
    WriteGroup m_last; // acknowledged
    bool m_grouping = false; // bslBeginWrite was called, its write has not been sent yet
    bool m_unconfirmed = false; // the last write was acknowledged, no sync has followed it yet
};

} // namespace bsl
