// Interface names and indices of the simulated bus: if_nametoindex, if_indextoname and
// ioctl(SIOCGIFINDEX / SIOCGIFNAME / SIOCGIFMTU) answer for the bus's interfaces on any descriptor
// (glibc's if_* functions do not go through the public ioctl, so both are hooked). Other names,
// indices and requests go to libc unchanged.
//
// Thread-safety: as libc's; no locks held across calls, no allocation.
#include <linux/can.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "preload/libc_calls.hpp"
#include "preload/sim_bus.hpp"

using namespace vcan;

namespace {

// The ifreq's name as a terminated string (the kernel does not require the terminator).
void name_of(const ifreq& request, char (&name)[IF_NAMESIZE + 1]) {
    std::memcpy(name, request.ifr_name, IF_NAMESIZE);
    name[IF_NAMESIZE] = '\0';
}

// Answers an interface request for the simulated bus; false when it is not one of the bus's.
bool answer_interface_request(unsigned long request, ifreq* interface) {
    const char* dir = sim_dir();
    if (dir == nullptr || interface == nullptr) {
        return false;
    }
    InterfaceEntry entry;
    char name[IF_NAMESIZE + 1];
    switch (request) {
        case SIOCGIFINDEX:
            name_of(*interface, name);
            if (!find_interface_by_name(dir, name, entry)) {
                return false;
            }
            interface->ifr_ifindex = entry.index;
            return true;
        case SIOCGIFMTU:
            name_of(*interface, name);
            if (!find_interface_by_name(dir, name, entry)) {
                return false;
            }
            interface->ifr_mtu = CAN_MTU;
            return true;
        case SIOCGIFNAME:
            if (!find_interface_by_index(dir, interface->ifr_ifindex, entry)) {
                return false;
            }
            std::memset(interface->ifr_name, 0, IF_NAMESIZE);
            std::memcpy(interface->ifr_name, entry.name, std::strlen(entry.name));
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if ((request == SIOCGIFINDEX || request == SIOCGIFNAME || request == SIOCGIFMTU) &&
        answer_interface_request(request, static_cast<ifreq*>(argument))) {
        return 0;
    }
    return real::ioctl()(fd, request, argument);
}

unsigned int if_nametoindex(const char* name) noexcept {
    const char* dir = sim_dir();
    InterfaceEntry entry;
    if (dir != nullptr && name != nullptr && find_interface_by_name(dir, name, entry)) {
        return static_cast<unsigned>(entry.index);
    }
    return real::if_nametoindex()(name);
}

char* if_indextoname(unsigned int index, char* name) noexcept {
    const char* dir = sim_dir();
    InterfaceEntry entry;
    if (dir != nullptr && name != nullptr && index <= 0x7fffffffu &&
        find_interface_by_index(dir, static_cast<int>(index), entry)) {
        std::memcpy(name, entry.name, std::strlen(entry.name) + 1);
        return name;
    }
    return real::if_indextoname()(name == nullptr ? 0 : index, name);
}

}  // extern "C"
