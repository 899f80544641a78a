// The HDLC deframer and the receive buffer. A byte stream from the input is
// served by an in-memory port, in pieces of fuzzed sizes, to the adapter's
// direct read, frame by frame; what comes out is compared with a plain model
// of the framing (flag-ended frames, 7D 5E / 7D 5D unstuffed, CRC checked,
// short, bad and overlong frames dropped). The frames then go into a receive buffer, interleaved with
// fuzzed waits for replies, and the buffer's answers are compared with a
// model of its contract (newest first, at most ten kept, a wait takes the
// newest named reply, else the newest other packet it accepts, and empties
// the buffer).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "Crc16.h"
#include "FuzzSupport.h"
#include "HOST_HDLC.h"

namespace {

using Bytes = std::vector<BYTE>;

// Serves the stream to the adapter; ReadSome hands it over in pieces of the
// sizes chunks gives in turn (1 to 256 bytes), as a line delivers it.
class MemoryPort : public INetPort {
public:
    MemoryPort(const Bytes& stream, const Bytes& chunks) : m_stream(stream), m_chunks(chunks) {}
    BOOL Write(BYTE*, DWORD) override { return TRUE; }
    BOOL ReadSome(BYTE* buffer, DWORD max, DWORD* read) override {
        DWORD piece = m_chunks.empty() ? 1 : m_chunks[m_nextChunk++ % m_chunks.size()] + 1u;
        const size_t left = m_stream.size() - m_position;
        if (piece > max)
            piece = max;
        if (piece > left)
            piece = static_cast<DWORD>(left);
        return piece == 0 ? (*read = 0, FALSE) : Read(buffer, piece, read);
    }
    BOOL Read(BYTE* buffer, DWORD length, DWORD* read) override {
        *read = 0;
        if (length > m_stream.size() - m_position)
            return FALSE;  // the device went away
        std::memcpy(buffer, m_stream.data() + m_position, length);
        m_position += length;
        *read = length;
        return TRUE;
    }
    DWORD GetLastError() override { return 5; }
    BOOL Close() override { return TRUE; }
    BOOL Purge() override { return TRUE; }

private:
    const Bytes& m_stream;
    const Bytes& m_chunks;
    size_t m_position = 0;
    size_t m_nextChunk = 0;
};

class MemoryAdapter : public CHdlcAdapter {
public:
    MemoryAdapter(const Bytes& stream, const Bytes& chunks) : m_stream(stream), m_chunks(chunks) {}

protected:
    INetPort* CreateNetPort(DWORD, DWORD, DWORD) override {
        return new MemoryPort(m_stream, m_chunks);
    }

private:
    const Bytes& m_stream;
    const Bytes& m_chunks;
};

// The good frames of stream, in order, up to the first whose payload exceeds
// capacity (the direct read stops there).
std::vector<Bytes> ModelFrames(const Bytes& stream, DWORD capacity) {
    std::vector<Bytes> frames;
    Bytes raw;
    for (BYTE b : stream) {
        if (b != 0x7E) {
            raw.push_back(b);
            continue;
        }
        Bytes frame;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == 0x7D && i + 1 < raw.size() &&
                (raw[i + 1] == 0x5E || raw[i + 1] == 0x5D)) {
                frame.push_back(raw[i + 1] == 0x5E ? 0x7E : 0x7D);
                ++i;
            } else {
                frame.push_back(raw[i]);
            }
        }
        raw.clear();
        if (frame.size() > HDLC_MAX_PAYLOAD)
            continue;  // an overlong frame is dropped whole
        if (frame.size() <= 2)
            continue;
        WORD crc = 0;
        CalculateCRC(frame.data(), static_cast<DWORD>(frame.size()), crc);
        if (crc != 0x0F47)
            continue;
        frame.resize(frame.size() - 2);
        if (frame.size() > capacity)
            break;
        frames.push_back(frame);
    }
    return frames;
}

// The packet a wait for v takes from newest-first packets, or null: the
// newest named reply, else (for the acknowledgement and the board class) the
// newest other packet.
const Bytes* ModelFind(const std::deque<Bytes>& packets, DWORD v) {
    const BYTE cmd = v & 0xFF;
    const BYTE sub = (v >> 8) & 0xFF;
    const Bytes* other = nullptr;
    for (const Bytes& p : packets) {
        if (p[0] == cmd && (sub == 0xFF || (p.size() >= 2 && p[1] == sub)))
            return &p;
        if (other == nullptr && p[0] != cmd && ((v == 0x02 && p[0] != 0x02) || cmd == 0x45))
            other = &p;
    }
    return other;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::ScratchDir();
    fuzzsupport::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const DWORD capacity =
        input.ConsumeBool() ? HDLC_MAX_PAYLOAD : input.ConsumeIntegralInRange<DWORD>(0, 64);
    const Bytes chunks = input.ConsumeBytes<BYTE>(input.ConsumeIntegralInRange(0, 8));
    const Bytes stream = input.ConsumeBytes<BYTE>(input.ConsumeIntegral<uint16_t>());

    std::vector<Bytes> frames;
    {
        MemoryAdapter adapter(stream, chunks);
        adapter.SetIoMode(0);
        FUZZ_CHECK(adapter.Init(0, 0, 0));
        Bytes buffer(capacity + 1);
        DWORD length = 0;
        while (adapter.Read(buffer.data(), capacity, &length)) {
            FUZZ_CHECK(length <= capacity);
            frames.emplace_back(buffer.begin(), buffer.begin() + length);
        }
        FUZZ_CHECK(length == 0);
        adapter.Close();
    }
    FUZZ_CHECK(frames == ModelFrames(stream, capacity));

    CRcvBuf received;
    std::deque<Bytes> model;
    for (const Bytes& frame : frames) {
        FUZZ_CHECK(received.PutPacket(frame.data(), static_cast<DWORD>(frame.size())) ==
                   !frame.empty());
        if (!frame.empty()) {
            model.push_front(frame);
            if (model.size() > CRcvBuf::kMaxPackets)
                model.pop_back();
        }
        FUZZ_CHECK(received.GetCount() == static_cast<int>(model.size()));
        switch (input.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                const DWORD v = input.ConsumeIntegral<uint16_t>();
                const DWORD room = input.ConsumeIntegralInRange<DWORD>(0, 80);
                Bytes out(room);
                DWORD length = 0xFFFFFFFF;
                const BOOL got = received.GetPacket(out.data(), room, &length, v, 0);
                const Bytes* expected = ModelFind(model, v);
                FUZZ_CHECK((got != FALSE) == (expected != nullptr));
                if (expected != nullptr) {
                    FUZZ_CHECK(length == expected->size());
                    const size_t copied = std::min<size_t>(room, expected->size());
                    FUZZ_CHECK(std::equal(out.begin(), out.begin() + copied, expected->begin()));
                }
                model.clear();
                break;
            }
            case 1:
                received.Drop();
                model.clear();
                break;
            default:
                break;
        }
        FUZZ_CHECK(received.GetCount() == static_cast<int>(model.size()));
    }
    return 0;
}
