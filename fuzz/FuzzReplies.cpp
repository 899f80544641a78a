// Device replies handed to the pure reply judgements: the boot loader's
// acknowledgement, the status of a user-data order reply and the restore
// status record. The reply is copied into a buffer of exactly its length so
// that any read past it is caught; each answer is checked against the packet
// layout it decodes.
#include <cstring>
#include <vector>

#include "DownloadPackets.h"
#include "UserDataPackets.h"
#include "FuzzSupport.h"

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
    return 0;
}
