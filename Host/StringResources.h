// The built-in string table and the persistent event log.
#pragma once

// The 40 rows written at the top of StringList.strings, each a complete line.
constexpr int kStrListRows = 40;
constexpr int kStrListRowSize = 150;
extern const char StrList[kStrListRows][kStrListRowSize];

// Writes key/value records, resolved through LoadString, into the event log
// "/users/SoftUpdateLog.log", rotating it by size.
class CDataBase {
public:
    CDataBase();
    ~CDataBase();
    CDataBase(const CDataBase&) = delete;
    CDataBase& operator=(const CDataBase&) = delete;

    bool SetStringValue(const char* key1, const char* key2);
    // The event log's current name (its rotated name after a rotation at start).
    const char* Path() const { return m_pszPath; }

private:
    char* m_pszPath;
};

extern CDataBase SaveResult;
