// The start of an update: the extracted package is opened and every unit
// checked before anything is sent to the device, then the backup (or the
// download) is handed to the worker.
#include <cstdio>

#include "Function.h"
#include "HOST_MainControl.h"
#include "ProcessFlags.h"

namespace {

constexpr int kPackageInvalid = 18;

}  // namespace

bool CMainControl::DownLoadCode() {
    m_dwTotalSize = 0;
    m_dwDownloadedSize = 0;
    char path[1024] = {};
    if (!GetTempFileName(path))
        return false;
    snprintf(m_pszPackagePath, sizeof(m_pszPackagePath), "%s", path);
    if (!OpenDownLoadFile(m_pszPackagePath)) {
        Log("Verify the BIN file NO PASS.\n");
        g_nErrorCode = kPackageInvalid;
        return false;
    }
    m_bEndNotified = false;
    m_bUpdateStarted = true;
    return InitBackupUserInfo();
}

bool CMainControl::OpenDownLoadFile(const char* path) {
    if (!m_AppFileReader.SetAppFileName(path))
        return false;
    m_nFileCount = m_AppFileReader.GetUnitCount();
    m_dwTotalSize = 0;
    for (int i = 0; i < m_nFileCount; ++i) {
        SAppFileUnitHeader header;
        m_AppFileReader.GetUnitHeader(i, header);
        m_dwTotalSize += header.dwDataLen;
    }
    return true;
}
