// fakemm: a stand-in for ModemManager on a private system bus, for the
// end-to-end tests. It owns org.freedesktop.ModemManager1, lists two modems
// through the object manager at /org/freedesktop/ModemManager1 (a foreign one
// and, unless --unknown, the stand-in's modem with --ports and --device), and
// answers InhibitDevice. On standard output it prints "ready" once it owns its
// name, then one line per event, "<monotonic seconds> <client> <event> [args]":
//   GetManagedObjects
//   InhibitDevice <uid> <true|false>
//   left            (a client that called it left the bus)
// It runs until a signal ends it.
//
//   fakemm [--device UID] [--ports NAME,NAME...] [--refuse] [--unknown] [--hang]
// --refuse answers InhibitDevice with an authorisation error, --hang never
// answers it, --unknown lists only the foreign modem.
#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kService[] = "org.freedesktop.ModemManager1";
const char kManagerPath[] = "/org/freedesktop/ModemManager1";
const char kModemInterface[] = "org.freedesktop.ModemManager1.Modem";

struct Modem {
    std::string path;
    std::string device;
    std::vector<std::pair<std::string, uint32_t>> ports;  // name, MMModemPortType
};

struct Fake {
    std::vector<Modem> modems;
    bool refuse = false;
    bool hang = false;
    std::set<std::string> clients;  // unique names that called the fake
};

void Record(const char* client, const std::string& event) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%lld.%06ld %s %s\n", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000,
                client, event.c_str());
    std::fflush(stdout);
}

int GetDevice(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* data,
              sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<Modem*>(data)->device.c_str());
}

int GetPorts(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* data,
             sd_bus_error*) {
    int r = sd_bus_message_open_container(reply, 'a', "(su)");
    for (const auto& port : static_cast<Modem*>(data)->ports) {
        if (r >= 0)
            r = sd_bus_message_append(reply, "(su)", port.first.c_str(), port.second);
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int GetText(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
            void* data, sd_bus_error*) {
    const Modem* modem = static_cast<Modem*>(data);
    const std::string text = std::strcmp(property, "Manufacturer") == 0
                                 ? "KORVEL"
                                 : (modem->ports.empty() ? "" : modem->ports.back().first);
    return sd_bus_message_append(reply, "s", text.c_str());
}

int GetState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
             sd_bus_error*) {
    return sd_bus_message_append(reply, "i", 8);  // registered
}

// A modem's properties in an order that puts others around the two the
// program reads.
const sd_bus_vtable kModemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Manufacturer", "s", GetText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Ports", "a(su)", GetPorts, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("State", "i", GetState, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Device", "s", GetDevice, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("PrimaryPort", "s", GetText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

int InhibitDevice(sd_bus_message* call, void* data, sd_bus_error* error) {
    Fake* fake = static_cast<Fake*>(data);
    const char* uid = nullptr;
    int inhibit = 0;
    int r = sd_bus_message_read(call, "sb", &uid, &inhibit);
    if (r < 0)
        return r;
    const char* client = sd_bus_message_get_sender(call);
    fake->clients.insert(client);
    Record(client, std::string("InhibitDevice ") + uid + (inhibit ? " true" : " false"));
    if (fake->hang)
        return 1;  // no reply: the caller's time-out ends its wait
    if (fake->refuse)
        return sd_bus_error_set(error, "org.freedesktop.ModemManager1.Error.Core.Unauthorized",
                                "Not authorized to inhibit the device");
    for (const Modem& modem : fake->modems) {
        if (modem.device == uid)
            return sd_bus_reply_method_return(call, "");
    }
    return sd_bus_error_set(error, "org.freedesktop.ModemManager1.Error.Core.NotFound",
                            "No such device");
}

const sd_bus_vtable kManagerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("InhibitDevice", "sb", "", InhibitDevice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// Records the object manager's question before the library answers it.
int Filter(sd_bus_message* m, void* data, sd_bus_error*) {
    if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.ObjectManager",
                                      "GetManagedObjects")) {
        static_cast<Fake*>(data)->clients.insert(sd_bus_message_get_sender(m));
        Record(sd_bus_message_get_sender(m), "GetManagedObjects");
    }
    return 0;
}

int NameOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0)
        return 0;
    if (after[0] == '\0' && static_cast<Fake*>(data)->clients.count(name) > 0)
        Record(name, "left");
    return 0;
}

bool ParseArgs(int argc, char** argv, Fake* fake, std::string* device, std::string* ports,
               bool* unknown) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--refuse") {
            fake->refuse = true;
        } else if (arg == "--hang") {
            fake->hang = true;
        } else if (arg == "--unknown") {
            *unknown = true;
        } else if ((arg == "--device" || arg == "--ports") && i + 1 < argc) {
            *(arg == "--device" ? device : ports) = argv[++i];
        } else {
            std::fprintf(stderr, "fakemm: unknown argument %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

void AddModems(Fake* fake, const std::string& device, const std::string& ports, bool unknown) {
    fake->modems.push_back({std::string(kManagerPath) + "/Modem/0",
                            "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4",
                            {{"cdc-wdm0", 6}, {"ttyACM0", 3}}});
    if (unknown)
        return;
    Modem ours{std::string(kManagerPath) + "/Modem/1", device, {}};
    size_t start = 0;
    while (start <= ports.size()) {
        const size_t comma = std::min(ports.find(',', start), ports.size());
        if (comma > start)
            ours.ports.push_back({ports.substr(start, comma - start), 3});  // AT
        start = comma + 1;
    }
    fake->modems.push_back(ours);
}

int Fail(const char* what, int r) {
    std::fprintf(stderr, "fakemm: %s: %s\n", what, std::strerror(-r));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Fake fake;
    std::string device = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    std::string ports;
    bool unknown = false;
    if (!ParseArgs(argc, argv, &fake, &device, &ports, &unknown))
        return 2;
    AddModems(&fake, device, ports, unknown);

    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0)
        return Fail("open the system bus", r);
    r = sd_bus_add_object_vtable(bus, nullptr, kManagerPath, kService, kManagerVtable, &fake);
    if (r >= 0)
        r = sd_bus_add_object_manager(bus, nullptr, kManagerPath);
    for (Modem& modem : fake.modems) {
        if (r >= 0)
            r = sd_bus_add_object_vtable(bus, nullptr, modem.path.c_str(), kModemInterface,
                                         kModemVtable, &modem);
    }
    if (r >= 0)
        r = sd_bus_add_filter(bus, nullptr, Filter, &fake);
    if (r >= 0)
        r = sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameOwnerChanged", NameOwnerChanged,
                                &fake);
    if (r >= 0)
        r = sd_bus_request_name(bus, kService, 0);
    if (r < 0)
        return Fail("serve", r);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return Fail("process", r);
        if (r == 0 && (r = sd_bus_wait(bus, UINT64_MAX)) < 0 && r != -EINTR)
            return Fail("wait", r);
    }
}
