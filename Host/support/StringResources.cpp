#include "StringResources.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Function.h"
#include "TestSeams.h"

// One line of StringList.strings per row: "KEY", tabs, = "VALUE"; and a newline.
// clang-format off
const char StrList[kStrListRows][kStrListRowSize] = {
    "\"IDS_DBITEM_FIND_PORT\"\t\t\t\t= \"Find communication port\";\n",
    "\"IDS_ERROR_FIND_PORT\"\t\t\t\t= \"Find communication port failure!\";\n",
    "\"IDS_CHECK_BOARD_OPEN_PORT_ERROR\"\t= \"Communication port open failure before software quenry board information.\";\n",
    "\"IDS_QUENRY_BOARD\"\t\t\t\t\t= \"Quenry board version\";\n",
    "\"IDS_ERROR\"\t\t\t\t\t\t\t= \"Failure\";\n",
    "\"IDS_QUENRY_DLD_MODE\"\t\t\t\t= \"Download mode\";\n",
    "\"IDS_FORCE_DLD\"\t\t\t\t\t\t= \"Force download\";\n",
    "\"IDS_NORMAL_DLD\"\t\t\t\t\t= \"Normal download\";\n",
    "\"IDS_SWITCH_DOWNLOAD_MODE\"\t\t\t= \"Switch download mode\";\n",
    "\"IDS_MEM_OVER\"\t\t\t\t\t\t= \"Memory overflow\";\n",
    "\"IDS_MEM_ERROR\"\t\t\t\t\t\t= \"PC memory too low!\";\n",
    "\"IDS_INITIAL_DOWNLOAD\"\t\t\t\t= \"Initialize download \";\n",
    "\"IDS_DLD_PACKER\"\t\t\t\t\t= \"Download data packet\";\n",
    "\"IDS_DLD_END\"\t\t\t\t\t\t= \"Download end\";\n",
    "\"IDS_DOWNLOAD\"\t\t\t\t\t\t= \"Downloading \";\n",
    "\"IDS_PARTITION\"\t\t\t\t\t\t= \"Partition.bin\";\n",
    "\"IDS_AMSS\"\t\t\t\t\t\t\t= \"amss.bin\";\n",
    "\"IDS_AMSSHD\"\t\t\t\t\t\t= \"amss_header.bin\";\n",
    "\"IDS_EFS2\"\t\t\t\t\t\t\t= \"efs2.bin\";\n",
    "\"IDS_OEMSBL\"\t\t\t\t\t\t= \"oemsbl.bin\";\n",
    "\"IDS_OEMSBLHD\"\t\t\t\t\t\t= \"oem_sbl_header.bin\";\n",
    "\"IDS_PBL\"\t\t\t\t\t\t\t= \"pbl.bin\";\n",
    "\"IDS_QCSBL\"\t\t\t\t\t\t\t= \"qcsbl.bin\";\n",
    "\"IDS_QCSBLHD_CFGDATA\"\t\t\t\t= \"qcsbl_header_configdata.bin\";\n",
    "\"IDS_DOWNLOAD_RESULT\"\t\t\t\t= \"Download result\";\n",
    "\"IDS_DOWNLOAD_FAILURE\"\t\t\t\t= \"Download failure\";\n",
    "\"IDS_CLOSE_PORT\"\t\t\t\t\t= \"Close port\";\n",
    "\"IDS_RESTORE_NV\"\t\t\t\t\t= \"Restore NV options\";\n",
    "\"IDS_START\"\t\t\t\t\t\t\t= \"=================================================\";\n",
    "\"IDS_BOARD_RESET_FAILURE\"\t\t\t= \"Board reset failure before NV options restore\";\n",
    "\"IDS_RESET_BOARD\"\t\t\t\t\t= \"Reset\";\n",
    "\"IDS_OK\"\t\t\t\t\t\t\t= \"OK\";\n",
    "\"IDS_WAITACK_TIMEOUT\"\t\t\t\t= \"Wait_ACK_Timeout\";\n",
    "\"IDS_APPSBOOTHD\"\t\t\t\t\t= \"appsboothd.bin\";\n",
    "\"IDS_APPSBOOT\"\t\t\t\t\t\t= \"appsboot.bin\";\n",
    "\"IDS_APPSHD\"\t\t\t\t\t\t= \"appshd.bin\";\n",
    "\"IDS_APPS\"\t\t\t\t\t\t\t= \"apps.bin\";\n",
    "\"IDS_EFS2_APPS\"\t\t\t\t\t\t= \"efs2apps.bin\";\n",
    "\"IDS_ISOHD\"\t\t\t\t\t\t\t= \"MODEM_FIRMWARE_HD.BIN\";\n",
    "\"IDS_ISO\"\t\t\t\t\t\t\t= \"MODEM_FIRMWARE.BIN\";\n",
};
// clang-format on

CDataBase SaveResult;

namespace {

const char kEventLogPath[] = "/users/SoftUpdateLog.log";
constexpr size_t kEventPathSize = 2048;
constexpr long kEventLogLimit = 10000000L;

// Opens the event log (or a name derived from it) below FLASHPILOT_ROOT.
FILE* OpenRooted(const char* path, const char* mode) {
    char rooted[kEventPathSize];
    if (!RootedPath(path, rooted, sizeof rooted))
        return NULL;
    return OpenForWriting(rooted, mode);
}

}  // namespace

CDataBase::CDataBase() : m_pszPath(new char[kEventPathSize]) {
    std::memset(m_pszPath, 0, kEventPathSize);
    std::snprintf(m_pszPath, kEventPathSize, "%s", kEventLogPath);
    char now[32];
    GetCurrentTime(now, NULL);

    FILE* file = OpenRooted(kEventLogPath, "a+");
    if (file == NULL)
        return;  // no /users: records are simply not kept
    long size = GetFileSize(file);
    std::fclose(file);
    if (size <= kEventLogLimit)
        return;

    // Too large: move it aside under its name + the time text (newline
    // included) + ".log"; the next record starts a fresh log.
    char rotated[kEventPathSize];
    std::snprintf(rotated, sizeof rotated, "%s%s.log", kEventLogPath, now);
    char from[kEventPathSize];
    char to[kEventPathSize];
    if (!RootedPath(kEventLogPath, from, sizeof from) || !RootedPath(rotated, to, sizeof to)) {
        return;
    }
    if (std::rename(from, to) == 0)
        std::snprintf(m_pszPath, kEventPathSize, "%s", rotated);
}

CDataBase::~CDataBase() {
    delete[] m_pszPath;
}

bool CDataBase::SetStringValue(const char* key1, const char* key2) {
    char text1[2048];
    char text2[2048];
    LoadString(key1, text1, sizeof text1);
    LoadString(key2, text2, sizeof text2);
    char now[32];
    GetCurrentTime(now, NULL);
    std::string record = now;
    record += " -- ";
    record += text1;
    record += " = ";
    record += text2;
    record += "\n";

    FILE* file = OpenRooted(kEventLogPath, "a+");
    if (file == NULL) {
        Log("open log file error\n");
        return false;
    }
    long size = GetFileSize(file);
    std::fclose(file);

    file = OpenRooted(kEventLogPath, size > kEventLogLimit ? "w+" : "a+");
    if (file == NULL)
        return false;
    bool written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
    written = std::fclose(file) == 0 && written;
    return written;
}
