#include "udp/NetworkInterfaces.h"

#include <net/if.h>

#include <algorithm>
#include <cstring>

unsigned interfaceIndexOf(const std::string& name) {
    return ::if_nametoindex(name.c_str());
}

bool interfaceExists(unsigned index) {
    char name[IF_NAMESIZE];
    return ::if_indextoname(index, name) != nullptr;
}

InterfaceName interfaceNameOf(unsigned index) {
    char name[IF_NAMESIZE] = {};
    InterfaceName result;
    if (index != 0 && ::if_indextoname(index, name) != nullptr) {
        std::memcpy(result.text, name, std::min(std::strlen(name), sizeof result.text - 1));
    }
    return result;
}
