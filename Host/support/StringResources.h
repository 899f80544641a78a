// The built-in string table and the persistent event log.
#pragma once

// The 40 rows written at the top of StringList.strings, each a complete line.
constexpr int kStrListRows = 40;
constexpr int kStrListRowSize = 150;
extern const char StrList[kStrListRows][kStrListRowSize];

// Writes key/value records, resolved through LoadString, into the event log
// "/users/SoftUpdateLog.log" (opened below FLASHPILOT_ROOT when that is set).
// A log above 10,000,000 bytes is renamed at construction to its name + the
// time text (with its newline) + ".log", and emptied in place by a record
// written while it is that large. Without the directory records are lost.
class CDataBase {
public:
    CDataBase();
    ~CDataBase();
    CDataBase(const CDataBase&) = delete;
    CDataBase& operator=(const CDataBase&) = delete;

    // Appends "<time text with newline> -- <text1> = <text2>\n"; a key without a
    // line in the string file stands for itself. False when the log cannot be
    // opened or written.
    bool SetStringValue(const char* key1, const char* key2);
    // The event log's current name (its rotated name after a rotation at start).
    const char* Path() const { return m_pszPath; }

private:
    char* m_pszPath;
};

extern CDataBase SaveResult;
