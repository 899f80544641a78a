#include "ProcessFlags.h"

#include <cstring>

std::atomic<int> g_nErrorCode{kNoError};
std::atomic<bool> g_bForceDld{false};
std::atomic<bool> isNeedRestart{false};
std::atomic<bool> isDLDMode{false};
std::atomic<bool> bQX10UseDiag{false};
std::atomic<bool> isSucceed{false};
std::atomic<bool> g_bCheckOnly{false};

char strProduceName[12];
char strDloadSoftType[2048];
char g_ProduceName[2048];

void ClearErrorCode(int code) {
    int expected = code;
    g_nErrorCode.compare_exchange_strong(expected, kNoError);
}

bool IsQX10Model(const char* product) {
    return std::strcmp(product, "QX10") == 0 || std::strcmp(product, "QX10+") == 0;
}
