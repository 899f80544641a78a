// One request/reply exchange with the device as data: how often the request
// is tried, how long each reply is awaited, the pauses around each attempt and
// the log texts of its failures. CMainControl::RunExchange carries it out;
// the functions below hold the numbers of every command in one place.
#pragma once

#include "Types.h"

struct Exchange {
    int attempts = 1;
    bool openingFlag = false;                // this write goes with an opening 0x7E
    bool awaitsReply = true;                 // false: a good write is the whole exchange
    unsigned long pauseBeforeAttemptMs = 0;  // before every attempt, the first included
    unsigned long pauseAfterWriteMs = 0;     // between a good write and the wait
    BYTE replyCommand = 0;                   // first byte of the awaited reply
    unsigned long timeoutMs = 0;             // the wait for the reply, per attempt
    DWORD replySize = 1024;                  // bytes of the reply kept
    DWORD minReplyLength = 0;                // a shorter reply is not accepted
    unsigned long pauseAfterWriteFailureMs = 0;
    unsigned long pauseAfterNoReplyMs = 0;
    unsigned long pauseAfterRefusalMs = 0;  // after a reply that was not accepted
    // Log texts; null: nothing is logged. A "%d" takes the attempt number
    // from 1 (or the block number, for a data block).
    const char* writeFailed = nullptr;
    const char* noReply = nullptr;
    const char* written = nullptr;   // after a good write
    const char* answered = nullptr;  // after an accepted reply
    // Set in g_nErrorCode for every unanswered attempt and cleared again by
    // an accepted reply; 0: none.
    int noReplyErrorCode = 0;
};

// Device queries.
Exchange BoardVersionExchange();
Exchange VersionForceExchange();
Exchange ISOVersionExchange();
Exchange BoardClassExchange();
Exchange DldModeProbeExchange();
// The download-mode probe sent to resynchronise the link after a boot-loader
// wait that ended without an answer: everything before its answer is dropped.
Exchange ResyncExchange();
Exchange NVReadExchange();

// Mode changes.
Exchange SwitchToDldModeExchange();
Exchange SwitchToDldModeOneTimeExchange();
Exchange ControlExchange(BYTE mode);  // 0x29: mode 2 awaits no reply

// Boot loader packets. A data block is sent once per call; the caller
// retries and the wait grows with its attempt number.
Exchange EraseExchange();
Exchange BlockExchange(int attempt);
Exchange EndExchange();
Exchange DldResetExchange();

// User data.
Exchange BackupOrderExchange();
Exchange RestoreOrderExchange();
Exchange RestoreStatusExchange();
Exchange FactoryTestExchange();
Exchange AdjustExchange();
