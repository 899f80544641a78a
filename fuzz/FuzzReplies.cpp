// Device replies handed to the pure reply judgements and decoders: the boot
// loader's acknowledgement, the status of a user-data order reply, the
// restore status record, the versions, the board class and the IMEI. The
// reply is copied into a buffer of exactly its length so that any read past
// it is caught; each answer is checked against the packet layout it decodes.
#include <cstring>
#include <string>
#include <vector>

#include "DownloadPackets.h"
#include "FuzzSupport.h"
#include "QueryReplies.h"
#include "UserDataPackets.h"

namespace {

// The text of reply from offset up to a NUL, its end or max characters.
std::string TextAt(const std::vector<BYTE>& reply, size_t offset, size_t max) {
    std::string text;
    for (size_t i = offset; i < reply.size() && reply[i] != 0 && text.size() < max; ++i)
        text.push_back(static_cast<char>(reply[i]));
    return text;
}

void CheckQueryDecoders(const std::vector<BYTE>& reply) {
    const BYTE* p = reply.empty() ? nullptr : reply.data();
    const DWORD length = static_cast<DWORD>(reply.size());
    char text[kISOVersionMax + 1];

    DecodeBoardVersion(p, length, text, kBoardVersionMax + 1);
    FUZZ_CHECK(text == TextAt(reply, 4, kBoardVersionMax));
    DecodeBoardVersion(p, length, text, 8);  // a smaller buffer cuts the text
    FUZZ_CHECK(text == TextAt(reply, 4, 7));
    DecodeVersionForce(p, length, text, kVersionForceMax + 1);
    FUZZ_CHECK(text == TextAt(reply, 2, kVersionForceMax));

    DecodeISOVersion(p, length, text, sizeof text);
    const std::string iso = text;
    FUZZ_CHECK(iso.size() <= kISOVersionMax && iso.find('\n') == std::string::npos);
    FUZZ_CHECK(iso == TextAt(reply, 5, iso.size()));
    FUZZ_CHECK(iso.find("\r\n") == std::string::npos);
    if (iso.size() < kISOVersionMax) {
        // It stopped at the reply's end, a NUL, a LF or a CR LF pair.
        const size_t stop = 5 + iso.size();
        const BYTE next = stop < reply.size() ? reply[stop] : 0;
        const BYTE after = stop + 1 < reply.size() ? reply[stop + 1] : 0;
        FUZZ_CHECK(next == 0 || next == '\n' || (next == '\r' && after == '\n'));
    }

    BYTE field[kBoardClassBytes];
    DecodeBoardClass(p, length, field);
    for (size_t i = 0; i < kBoardClassBytes; ++i)
        FUZZ_CHECK(field[i] == (i < reply.size() ? reply[i] : 0));

    char imei[kImeiDigits + 1] = "untouched";
    const bool valid = DecodeImei(p, length, imei, sizeof imei);
    FUZZ_CHECK(valid == (length > 0 && p[0] == 8));
    FUZZ_CHECK(valid ? std::strlen(imei) == kImeiDigits : std::strcmp(imei, "untouched") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<BYTE> reply(data, data + size);
    const BYTE* p = reply.empty() ? nullptr : reply.data();
    const DWORD length = static_cast<DWORD>(reply.size());

    FUZZ_CHECK(IsAcknowledged(p, length) == (length > 0 && p[0] == kDldAck));

    short status = 0x5A5A;
    const bool order = OrderReplyStatus(p, length, &status);
    FUZZ_CHECK(order == (length >= 4 && p[0] == kCmdUserDataOrder));
    if (order)
        FUZZ_CHECK(static_cast<WORD>(status) == (p[2] | p[3] << 8));
    else
        FUZZ_CHECK(status == 0x5A5A);

    SNVRestoreStatus record;
    record.byUnused[0] = 0xA5;
    const bool parsed = ParseRestoreStatus(p, length, &record);
    FUZZ_CHECK(parsed == (length >= 7));
    if (parsed) {
        FUZZ_CHECK(record.byNVBackupExist == p[5] && record.byRestorStatus == p[6]);
    } else {
        FUZZ_CHECK(record.byNVBackupExist == 0 && record.byRestorStatus == kRestoreMustBeOrdered);
    }
    FUZZ_CHECK(record.byReserved == 0 && record.byUnused[0] == 0xA5);

    CheckQueryDecoders(reply);
    return 0;
}
