#include "SdBusLibrary.h"

#include <dlfcn.h>

#include <cstdio>

namespace sdbus {

const char kLibraryName[] = "libsystemd.so.0";

namespace {

// Binds *fn to the library's symbol name; false, with *missing set to name,
// when the library lacks it.
template <class Fn>
bool Bind(void* handle, const char* name, Fn* fn, const char** missing) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        *missing = name;
        return false;
    }
    *fn = reinterpret_cast<Fn>(symbol);
    return true;
}

}  // namespace

Library::~Library() {
    Unload();
}

bool Library::Load(char* why, size_t whySize) {
    if (m_handle != nullptr)
        return true;
    m_handle = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* error = dlerror();
        std::snprintf(why, whySize, "%s", error != nullptr ? error : kLibraryName);
        return false;
    }
    const char* missing = nullptr;
    const bool bound =
        Bind(m_handle, "sd_bus_open_system", &openSystem, &missing) &&
        Bind(m_handle, "sd_bus_flush_close_unref", &flushCloseUnref, &missing) &&
        Bind(m_handle, "sd_bus_is_ready", &isReady, &missing) &&
        Bind(m_handle, "sd_bus_process", &process, &missing) &&
        Bind(m_handle, "sd_bus_wait", &wait, &missing) &&
        Bind(m_handle, "sd_bus_message_new_method_call", &newMethodCall, &missing) &&
        Bind(m_handle, "sd_bus_message_set_auto_start", &setAutoStart, &missing) &&
        Bind(m_handle, "sd_bus_message_append", &append, &missing) &&
        Bind(m_handle, "sd_bus_call", &call, &missing) &&
        Bind(m_handle, "sd_bus_message_unref", &messageUnref, &missing) &&
        Bind(m_handle, "sd_bus_message_enter_container", &enterContainer, &missing) &&
        Bind(m_handle, "sd_bus_message_exit_container", &exitContainer, &missing) &&
        Bind(m_handle, "sd_bus_message_peek_type", &peekType, &missing) &&
        Bind(m_handle, "sd_bus_message_read_basic", &readBasic, &missing) &&
        Bind(m_handle, "sd_bus_message_skip", &skip, &missing) &&
        Bind(m_handle, "sd_bus_error_free", &errorFree, &missing);
    if (bound)
        return true;
    std::snprintf(why, whySize, "%s lacks %s", kLibraryName, missing);
    Unload();
    return false;
}

void Library::Unload() {
    if (m_handle != nullptr)
        dlclose(m_handle);
    m_handle = nullptr;
}

MessageRef::~MessageRef() {
    if (m_message != nullptr)
        m_lib.messageUnref(m_message);
}

const char* ErrorRef::Name(const char* fallback) const {
    return m_error.name != nullptr ? m_error.name : fallback;
}

}  // namespace sdbus
