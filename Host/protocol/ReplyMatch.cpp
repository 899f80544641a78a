#include "ReplyMatch.h"

#include <cstring>

#include "DownloadPackets.h"
#include "UserDataPackets.h"

namespace {

constexpr BYTE kCmdNvRead = 0x26;

// How many bytes after the command a reply repeats from its request.
DWORD EchoedBytes(BYTE command) {
    switch (command) {
        case kCmdDiagStatus:  // subsystem and its command code
        case kCmdNvRead:      // the item number
            return 2;
        case kCmdControlMode:    // the mode
        case kCmdUserDataOrder:  // backup or restore
            return 1;
        default:
            return 0;
    }
}

bool Repeats(const SReplyPattern& p, const BYTE* reply, DWORD length) {
    if (length < 1u + p.echoLength)
        return false;
    return std::memcmp(reply + 1, p.echo, p.echoLength) == 0;
}

}  // namespace

SReplyPattern ReplyPatternFor(const BYTE* request, DWORD length, BYTE replyCommand) {
    SReplyPattern p;
    p.command = replyCommand;
    if (request == nullptr || length == 0)
        return p;
    p.knowsRequest = true;
    p.requestCommand = request[0];
    if (replyCommand == request[0]) {
        const DWORD echoed = EchoedBytes(replyCommand);
        if (length >= 1 + echoed) {
            p.echoLength = static_cast<BYTE>(echoed);
            std::memcpy(p.echo, request + 1, echoed);
        }
    }
    return p;
}

SReplyPattern ReplyPatternForWait(DWORD v) {
    SReplyPattern p;
    p.command = static_cast<BYTE>(v & 0xFF);
    p.sub = static_cast<BYTE>((v >> 8) & 0xFF);
    p.takesAnyOther = v == kDldAck;
    return p;
}

EReplyVerdict JudgeReply(const SReplyPattern& p, const BYTE* reply, DWORD length) {
    if (reply == nullptr || length == 0)
        return EReplyVerdict::kOther;
    const BYTE first = reply[0];
    if (first == p.command) {
        const bool subMatches = p.sub == 0xFF || (length >= 2 && reply[1] == p.sub);
        return subMatches && Repeats(p, reply, length) ? EReplyVerdict::kAnswer
                                                       : EReplyVerdict::kOther;
    }
    // An old board answers the board class with whatever it has.
    if (p.command == kReplyAnyPacket)
        return EReplyVerdict::kLooseAnswer;
    // A refusal that names a command names the request it answers.
    const bool refusal = first == kReplyRefusal;
    if (refusal && p.knowsRequest && length >= 2 && reply[1] != p.requestCommand)
        return EReplyVerdict::kOther;
    if (p.takesAnyOther && first != kDldAck)
        return EReplyVerdict::kLooseAnswer;
    return refusal ? EReplyVerdict::kRefusal : EReplyVerdict::kOther;
}
