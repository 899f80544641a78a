// Which received packet answers the request that waits. A reply that names
// its request is taken only by that request: a refusal 03 <command>, a query
// reply that repeats the command and sub-command (4B C9 03 for the version,
// 4B C9 21 for the restore status), an NV reply that repeats its item, an
// order or control reply that repeats its selector (FA 13, 29 01). A reply
// that names another request is dropped, never taken. The bare
// acknowledgement 02 names nothing: the link resynchronises after a missed
// one instead (see CMainControl::RunExchange). The board class, which old
// boards answer with whatever they have, takes any packet.
#pragma once

#include "Types.h"

constexpr BYTE kReplyRefusal = 0x03;
constexpr BYTE kReplyAnyPacket = 0x45;  // a wait for the board class takes any packet

enum class EReplyVerdict {
    kOther,        // answers another request, or none: dropped
    kRefusal,      // the device refused this request: the wait ends without a packet
    kLooseAnswer,  // taken for want of the named reply (board class, a wait for 02 00)
    kAnswer,       // the named reply
};

struct SReplyPattern {
    BYTE command = 0;   // first byte of the reply
    BYTE sub = 0xFF;    // second byte, 0xFF: any
    BYTE echo[2] = {};  // bytes 1.. the reply repeats from its request
    BYTE echoLength = 0;
    bool knowsRequest = false;   // false: only the command and sub-command are known
    BYTE requestCommand = 0;     // a refusal must name this command
    bool takesAnyOther = false;  // the wait for exactly 02 00: any other reply answers too
};

// The reply awaited for request (its first byte replyCommand).
SReplyPattern ReplyPatternFor(const BYTE* request, DWORD length, BYTE replyCommand);
// A wait by command and sub-command alone: v's low byte the command, its
// second byte the sub-command (0xFF any).
SReplyPattern ReplyPatternForWait(DWORD v);

EReplyVerdict JudgeReply(const SReplyPattern& pattern, const BYTE* reply, DWORD length);
