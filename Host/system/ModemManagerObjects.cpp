#include "ModemManagerObjects.h"

#include <cstring>

const char kMmModemInterface[] = "org.freedesktop.ModemManager1.Modem";

namespace {

// Result of one reading step: below 0 the reply is malformed, 0 a container
// has no further element, above 0 the step succeeded.
using Step = int;

class ObjectReader {
public:
    ObjectReader(const sdbus::Library& lib, sdbus::Message* reply, const char* const* ports,
                 size_t count)
        : m_lib(lib), m_reply(reply), m_ports(ports), m_count(count) {}

    // The whole reply: a{oa{sa{sv}}}.
    ModemSearch Objects(const char** device);

private:
    ModemSearch Interfaces(const char** device);
    ModemSearch Modem(const char** device);
    Step Property(const char** device, bool* ours);
    Step Ports(bool* ours);
    bool IsWalkedPort(const char* name) const;

    Step Enter(char type, const char* contents) {
        return m_lib.enterContainer(m_reply, type, contents);
    }
    bool Exit() { return m_lib.exitContainer(m_reply) >= 0; }
    bool Read(char type, void* value) { return m_lib.readBasic(m_reply, type, value) > 0; }
    bool Skip(const char* types) { return m_lib.skip(m_reply, types) >= 0; }

    const sdbus::Library& m_lib;
    sdbus::Message* m_reply;
    const char* const* m_ports;
    size_t m_count;
};

ModemSearch ObjectReader::Objects(const char** device) {
    if (Enter('a', "{oa{sa{sv}}}") <= 0)
        return ModemSearch::kMalformed;
    for (;;) {
        const Step entry = Enter('e', "oa{sa{sv}}");
        if (entry < 0)
            return ModemSearch::kMalformed;
        if (entry == 0)
            return Exit() ? ModemSearch::kNotFound : ModemSearch::kMalformed;
        const char* path = nullptr;
        if (!Read('o', &path))
            return ModemSearch::kMalformed;
        const ModemSearch found = Interfaces(device);
        if (found != ModemSearch::kNotFound)
            return found;
        if (!Exit())
            return ModemSearch::kMalformed;
    }
}

// The interfaces of one object: a{sa{sv}}.
ModemSearch ObjectReader::Interfaces(const char** device) {
    if (Enter('a', "{sa{sv}}") <= 0)
        return ModemSearch::kMalformed;
    for (;;) {
        const Step entry = Enter('e', "sa{sv}");
        if (entry < 0)
            return ModemSearch::kMalformed;
        if (entry == 0)
            return Exit() ? ModemSearch::kNotFound : ModemSearch::kMalformed;
        const char* name = nullptr;
        if (!Read('s', &name))
            return ModemSearch::kMalformed;
        const ModemSearch found =
            std::strcmp(name, kMmModemInterface) == 0
                ? Modem(device)
                : (Skip("a{sv}") ? ModemSearch::kNotFound : ModemSearch::kMalformed);
        if (found != ModemSearch::kNotFound)
            return found;
        if (!Exit())
            return ModemSearch::kMalformed;
    }
}

// The properties of a modem: a{sv}. kFound when its Ports name a walked port
// and it has a Device.
ModemSearch ObjectReader::Modem(const char** device) {
    if (Enter('a', "{sv}") <= 0)
        return ModemSearch::kMalformed;
    const char* uid = nullptr;
    bool ours = false;
    Step step;
    while ((step = Property(&uid, &ours)) > 0) {
    }
    if (step < 0 || !Exit())
        return ModemSearch::kMalformed;
    if (!ours)
        return ModemSearch::kNotFound;
    if (uid == nullptr || uid[0] == '\0')
        return ModemSearch::kMalformed;
    *device = uid;
    return ModemSearch::kFound;
}

// One property entry {sv}; Device and Ports are read when their types are
// the documented ones, everything else is skipped.
Step ObjectReader::Property(const char** device, bool* ours) {
    const Step entry = Enter('e', "sv");
    if (entry <= 0)
        return entry;
    const char* name = nullptr;
    char type = 0;
    const char* contents = nullptr;
    if (!Read('s', &name) || m_lib.peekType(m_reply, &type, &contents) <= 0 || type != 'v' ||
        contents == nullptr)
        return -1;
    bool read = true;
    if (std::strcmp(name, "Device") == 0 && std::strcmp(contents, "s") == 0) {
        read = Enter('v', "s") > 0 && Read('s', device) && Exit();
    } else if (std::strcmp(name, "Ports") == 0 && std::strcmp(contents, "a(su)") == 0) {
        read = Ports(ours) > 0;
    } else {
        read = Skip("v");
    }
    return read && Exit() ? 1 : -1;
}

// The variant of Ports, a(su): sets *ours when a name is a walked port.
Step ObjectReader::Ports(bool* ours) {
    if (Enter('v', "a(su)") <= 0 || Enter('a', "(su)") <= 0)
        return -1;
    Step entry;
    while ((entry = Enter('r', "su")) > 0) {
        const char* name = nullptr;
        uint32_t portType = 0;
        if (!Read('s', &name) || !Read('u', &portType) || !Exit())
            return -1;
        if (IsWalkedPort(name))
            *ours = true;
    }
    return entry == 0 && Exit() && Exit() ? 1 : -1;
}

bool ObjectReader::IsWalkedPort(const char* name) const {
    for (size_t i = 0; i < m_count; ++i) {
        if (m_ports[i] != nullptr && m_ports[i][0] != '\0' && std::strcmp(m_ports[i], name) == 0)
            return true;
    }
    return false;
}

}  // namespace

ModemSearch FindModemDevice(const sdbus::Library& lib, sdbus::Message* reply,
                            const char* const* ports, size_t count, char* uid, size_t uidSize) {
    if (uidSize > 0)
        uid[0] = '\0';
    const char* device = nullptr;
    const ModemSearch found = ObjectReader(lib, reply, ports, count).Objects(&device);
    if (found != ModemSearch::kFound)
        return found;
    const size_t length = std::strlen(device);
    if (length >= uidSize || length >= kMmUidSize)
        return ModemSearch::kUidTooLong;
    std::memcpy(uid, device, length + 1);
    return ModemSearch::kFound;
}
