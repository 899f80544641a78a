#include "MAC_AppFileRead.h"

#include <sys/stat.h>

#include <climits>
#include <cstdarg>
#include <cstring>

#include "Assert.h"
#include "Crc16.h"

namespace {

// Offsets are handed out as int, so a package must stay below 2 GiB.
constexpr long long kMaxPackageLen = INT_MAX;
// The unit check reads the data in pieces of this size.
constexpr DWORD kCheckChunk = 64 * 1024;
// The package file's read buffer.
constexpr size_t kFileBufferLen = 64 * 1024;

bool StreamSize(FILE* file, long long& size) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0)
        return false;
    size = static_cast<long long>(st.st_size);
    return true;
}

}  // namespace

CAppFileReader::CAppFileReader()
    : m_file(NULL),
      m_nUnitCount(-1),
      m_szFileName(new char[kAppFileTextSize]()),
      m_szErrorText(new char[kAppFileTextSize]()),
      m_szCheckDetail() {}

CAppFileReader::~CAppFileReader() {
    CloseFile();
    delete[] m_szFileName;
    delete[] m_szErrorText;
}

void CAppFileReader::SetCheckDetail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(m_szCheckDetail, sizeof(m_szCheckDetail), format, args);
    va_end(args);
}

BOOL CAppFileReader::SetAppFileName(const char* path) {
    if (path == NULL || path[0] == '\0') {
        snprintf(m_szErrorText, kAppFileTextSize, "%s", "No file is choosen!");
        return FALSE;
    }
    if (strlen(path) >= static_cast<size_t>(kAppFileTextSize)) {
        snprintf(m_szErrorText, kAppFileTextSize, "File name is longer than %d characters!",
                 kAppFileTextSize - 1);
        return FALSE;
    }
    snprintf(m_szFileName, kAppFileTextSize, "%s", path);
    CloseFile();
    m_nUnitCount = 0;
    m_lstUnitHeader.clear();
    m_szCheckDetail[0] = '\0';

    m_file = fopen(m_szFileName, "rb");
    if (m_file == NULL) {
        // The path may take the whole buffer; the text is cut to fit.
        snprintf(m_szErrorText, kAppFileTextSize, "Failed open file\n%s", m_szFileName);
        return FALSE;
    }
    // The download reads one 4096-byte block at a time: a buffer of several
    // blocks saves a system call for most of them.
    setvbuf(m_file, NULL, _IOFBF, kFileBufferLen);
    if (!IsValidAppFile()) {
        snprintf(m_szErrorText, kAppFileTextSize, "%s", "File Checked failed!");
        return FALSE;
    }
    return TRUE;
}

BOOL CAppFileReader::IsValidAppFile() {
    FP_ASSERT(m_file != NULL);
    m_nUnitCount = 0;
    m_lstUnitHeader.clear();
    m_szCheckDetail[0] = '\0';

    long long size = 0;
    if (!StreamSize(m_file, size)) {
        SetCheckDetail("cannot take the file size");
        return FALSE;
    }
    if (size < static_cast<long long>(kMinPackageLen)) {
        SetCheckDetail("file of %lld bytes is shorter than %u bytes", size, kMinPackageLen);
        return FALSE;
    }
    if (size > kMaxPackageLen) {
        SetCheckDetail("file of %lld bytes is larger than %lld bytes", size, kMaxPackageLen);
        return FALSE;
    }
    if (fseeko(m_file, kPackagePrefixLen, SEEK_SET) != 0) {
        SetCheckDetail("cannot seek to the first unit");
        return FALSE;
    }
    int count = 0;
    while (ftello(m_file) < size) {
        if (!VerifyUnitDataContent(m_file)) {
            // No partial unit list is offered.
            m_lstUnitHeader.clear();
            m_nUnitCount = 0;
            return FALSE;
        }
        ++count;
    }
    m_nUnitCount = count;
    return TRUE;
}

BOOL CAppFileReader::VerifyUnitDataContent(FILE* file) {
    FP_ASSERT(file != NULL);
    const long long unitStart = ftello(file);
    const int unit = static_cast<int>(m_lstUnitHeader.size());

    SAppFileUnitHeader header;
    if (fread(&header, 1, kUnitHeaderLen, file) != kUnitHeaderLen) {
        SetCheckDetail("unit %d at offset %lld: header cut short", unit, unitStart);
        return FALSE;
    }
    SAppFileUnitHeader zeroed = header;
    zeroed.wHeaderCRC = 0;
    WORD crc = 0;
    CalculateCRC(reinterpret_cast<const BYTE*>(&zeroed), kUnitHeaderLen, crc);
    if (crc != header.wHeaderCRC) {
        SetCheckDetail("unit %d at offset %lld: header CRC mismatch", unit, unitStart);
        return FALSE;
    }
    if (header.dwFrameSize == 0) {
        SetCheckDetail("unit %d at offset %lld: frame size 0", unit, unitStart);
        return FALSE;
    }
    const unsigned long long frames = UnitFrameCount(header.dwDataLen, header.dwFrameSize);
    if (frames > static_cast<unsigned long long>(INT_MAX)) {
        SetCheckDetail("unit %d at offset %lld: impossible frame count %llu", unit, unitStart,
                       frames);
        return FALSE;
    }
    const int iFrameCount = static_cast<int>(frames);
    // The download locates data by dwHeaderLen while this check reads the
    // table by the frame count; if they disagree the wrong bytes would be
    // flashed.
    const unsigned long long tableLen = 2ULL * frames;
    if (header.dwHeaderLen != kUnitHeaderLen + tableLen) {
        SetCheckDetail("unit %d at offset %lld: header length %u, expected %llu for %d frames",
                       unit, unitStart, header.dwHeaderLen, kUnitHeaderLen + tableLen, iFrameCount);
        return FALSE;
    }
    // Every length is checked against the file before anything is allocated.
    long long size = 0;
    if (!StreamSize(file, size)) {
        SetCheckDetail("cannot take the file size");
        return FALSE;
    }
    const long long left = size - (unitStart + kUnitHeaderLen);
    const long long needed = static_cast<long long>(tableLen) + header.dwDataLen;
    if (needed > left) {
        SetCheckDetail("unit %d at offset %lld: needs %lld bytes after its header, %lld left", unit,
                       unitStart, needed, left);
        return FALSE;
    }

    std::vector<BYTE> table(static_cast<size_t>(tableLen));
    if (tableLen > 0 && fread(table.data(), 1, table.size(), file) != table.size()) {
        SetCheckDetail("unit %d at offset %lld: frame CRC table cut short", unit, unitStart);
        return FALSE;
    }
    m_lstUnitHeader.push_back(header);

    // The data is read in pieces of at most kCheckChunk bytes whatever the
    // frame size, and each frame's CRC runs on across the pieces: memory
    // stays the same for every package.
    std::vector<BYTE> chunk(header.dwDataLen < kCheckChunk ? header.dwDataLen : kCheckChunk);
    const unsigned long long dataLen = header.dwDataLen;
    unsigned long long done = 0;  // data bytes read
    unsigned long long frameEnd = dataLen < header.dwFrameSize ? dataLen : header.dwFrameSize;
    int frame = 0;
    WORD state = kCrcStart;
    while (done < dataLen) {
        const size_t want =
            dataLen - done < chunk.size() ? static_cast<size_t>(dataLen - done) : chunk.size();
        if (fread(chunk.data(), 1, want, file) != want) {
            SetCheckDetail("unit %d at offset %lld: frame %d cut short", unit, unitStart, frame);
            return FALSE;
        }
        const BYTE* piece = chunk.data();
        const unsigned long long pieceEnd = done + want;
        while (done < pieceEnd) {
            const unsigned long long upTo = frameEnd < pieceEnd ? frameEnd : pieceEnd;
            const size_t count = static_cast<size_t>(upTo - done);
            state = Crc16Update(state, piece, count);
            piece += count;
            done = upTo;
            if (done < frameEnd)
                break;  // the frame goes on in the next piece
            const size_t at = 2 * static_cast<size_t>(frame);
            const WORD expected = static_cast<WORD>(table[at] | (table[at + 1] << 8));
            if (static_cast<WORD>(~state) != expected) {
                SetCheckDetail("unit %d at offset %lld: frame %d CRC mismatch", unit, unitStart,
                               frame);
                return FALSE;
            }
            ++frame;
            state = kCrcStart;
            frameEnd = dataLen - done < header.dwFrameSize ? dataLen : done + header.dwFrameSize;
        }
    }
    const unsigned long long used =
        header.dwHeaderLen + static_cast<unsigned long long>(header.dwDataLen);
    const unsigned p = static_cast<unsigned>(used % kUnitAlignment);
    if (p > 0 && fseeko(file, kUnitAlignment - p, SEEK_CUR) != 0) {
        SetCheckDetail("unit %d at offset %lld: cannot skip its padding", unit, unitStart);
        return FALSE;
    }
    return TRUE;
}

int CAppFileReader::GetUnitCount() {
    return m_nUnitCount;
}

void CAppFileReader::GetUnitHeader(int iIndex, SAppFileUnitHeader& header) {
    FP_ASSERT(iIndex >= 0 && iIndex < GetUnitCount());
    header = m_lstUnitHeader[static_cast<size_t>(iIndex)];
}

int CAppFileReader::GetUnitBeginFileAddress(int iIndex) {
    if (iIndex < 0)
        return -1;
    long long address = kPackagePrefixLen;
    int i = 0;
    for (const SAppFileUnitHeader& header : m_lstUnitHeader) {
        if (i == iIndex) {
            address += header.dwHeaderLen;
            return address > INT_MAX ? -1 : static_cast<int>(address);
        }
        address += (static_cast<long long>(header.dwHeaderLen) + header.dwDataLen + 3) &
                   ~static_cast<long long>(3);
        ++i;
    }
    return -1;
}

BOOL CAppFileReader::MoveToUnitBegin(int iIndex) {
    FP_ASSERT(m_file != NULL);
    const int address = GetUnitBeginFileAddress(iIndex);
    if (address < 0)
        return FALSE;
    return fseeko(m_file, address, SEEK_SET) == 0 ? TRUE : FALSE;
}

int CAppFileReader::GetUnitData(int iIndex, BYTE* buffer, int maxLen) {
    FP_ASSERT(m_file != NULL);
    FP_ASSERT(buffer != NULL);
    SAppFileUnitHeader stUnitHeader;
    GetUnitHeader(iIndex, stUnitHeader);
    const int iUnitBegin = GetUnitBeginFileAddress(iIndex);
    const DWORD dwPos = static_cast<DWORD>(ftello(m_file));
    FP_ASSERT(dwPos >= (DWORD)iUnitBegin && dwPos < (DWORD)iUnitBegin + stUnitHeader.dwDataLen);
    if (maxLen <= 0)
        return 0;
    const DWORD left = static_cast<DWORD>(iUnitBegin) + stUnitHeader.dwDataLen - dwPos;
    const DWORD wanted = static_cast<DWORD>(maxLen) < left ? static_cast<DWORD>(maxLen) : left;
    return static_cast<int>(fread(buffer, 1, wanted, m_file));
}

BOOL CAppFileReader::CalculateCRC(const BYTE* data, DWORD length, WORD& crc) {
    return ::CalculateCRC(data, length, crc);
}

BOOL CAppFileReader::CloseFile() {
    if (m_file != NULL) {
        fclose(m_file);
        m_file = NULL;
    }
    return TRUE;
}
