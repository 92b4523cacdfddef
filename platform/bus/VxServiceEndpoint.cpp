#include "platform/bus/VxServiceEndpoint.h"

#include <cstdlib>

namespace {

std::string envValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

VxBusChoice addressChoice(std::string address, const std::string& what) {
    VxBusChoice choice;
    choice.kind = VxBusChoice::Kind::address;
    choice.description = what + " " + address;
    choice.address = std::move(address);
    return choice;
}

}  // namespace

VxBusChoice vxChooseBus(const std::string& explicitAddress, bool forService) {
    if (!explicitAddress.empty()) return addressChoice(explicitAddress, "bus");
    if (forService) {
        std::string starter = envValue("DBUS_STARTER_ADDRESS");
        if (!starter.empty()) return addressChoice(std::move(starter), "activating bus");
    }
    if (envValue("DA_BUS") == "system") {
        VxBusChoice choice;
        choice.kind = VxBusChoice::Kind::system;
        choice.description = "system bus";
        return choice;
    }
    std::string session = envValue("DBUS_SESSION_BUS_ADDRESS");
    if (!session.empty()) return addressChoice(std::move(session), "session bus");
    std::string runtimeDir = envValue("XDG_RUNTIME_DIR");
    if (!runtimeDir.empty())
        return addressChoice("unix:path=" + runtimeDir + "/bus", "session bus");
    VxBusChoice none;
    none.error =
        "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set "
        "(set DA_BUS=system to use the system bus)";
    return none;
}
