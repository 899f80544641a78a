// The system bus client library (sd-bus of libsystemd), loaded at run time:
// the program starts and updates on a host without it. Only the few functions
// the ModemManager client needs are bound; their types are declared here, so
// that the program builds without the library's headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sdbus {

struct Bus;      // sd_bus, opaque
struct Message;  // sd_bus_message, opaque

// sd_bus_error: its layout is part of the library's stable interface.
struct Error {
    const char* name = nullptr;
    const char* message = nullptr;
    int needFree = 0;
};

// The library name a host with systemd has, whatever its development files.
extern const char kLibraryName[];

class Library {
public:
    Library() = default;
    ~Library();  // unloads the library
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Loads the library and binds every function below. false, with the
    // reason in why (cut to whySize - 1), when the library or one function is
    // missing; nothing stays loaded then.
    bool Load(char* why, size_t whySize);
    bool Loaded() const { return m_handle != nullptr; }

    int (*openSystem)(Bus** bus) = nullptr;
    Bus* (*flushCloseUnref)(Bus* bus) = nullptr;
    int (*isReady)(Bus* bus) = nullptr;
    int (*process)(Bus* bus, Message** ret) = nullptr;
    int (*wait)(Bus* bus, uint64_t timeoutUsec) = nullptr;
    int (*newMethodCall)(Bus* bus, Message** m, const char* destination, const char* path,
                         const char* interface, const char* member) = nullptr;
    int (*setAutoStart)(Message* m, int autoStart) = nullptr;
    int (*append)(Message* m, const char* types, ...) = nullptr;
    int (*call)(Bus* bus, Message* m, uint64_t timeoutUsec, Error* error,
                Message** reply) = nullptr;
    Message* (*messageUnref)(Message* m) = nullptr;
    int (*enterContainer)(Message* m, char type, const char* contents) = nullptr;
    int (*exitContainer)(Message* m) = nullptr;
    int (*peekType)(Message* m, char* type, const char** contents) = nullptr;
    int (*readBasic)(Message* m, char type, void* value) = nullptr;
    int (*skip)(Message* m, const char* types) = nullptr;
    void (*errorFree)(Error* error) = nullptr;

private:
    void Unload();

    void* m_handle = nullptr;
};

// A message reference released through the library when it goes out of scope.
class MessageRef {
public:
    explicit MessageRef(const Library& lib) : m_lib(lib) {}
    ~MessageRef();
    MessageRef(const MessageRef&) = delete;
    MessageRef& operator=(const MessageRef&) = delete;

    Message** Out() { return &m_message; }
    Message* Get() const { return m_message; }

private:
    const Library& m_lib;
    Message* m_message = nullptr;
};

// A call error freed through the library when it goes out of scope.
class ErrorRef {
public:
    explicit ErrorRef(const Library& lib) : m_lib(lib) {}
    ~ErrorRef() { m_lib.errorFree(&m_error); }
    ErrorRef(const ErrorRef&) = delete;
    ErrorRef& operator=(const ErrorRef&) = delete;

    Error* Out() { return &m_error; }
    // The error's name, or fallback when the call failed without one.
    const char* Name(const char* fallback) const;
    const char* Text() const { return m_error.message != nullptr ? m_error.message : ""; }

private:
    const Library& m_lib;
    Error m_error;
};

}  // namespace sdbus
