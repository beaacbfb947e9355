#include "udp/NetworkInterfaces.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>

unsigned interfaceIndexOf(const std::string& name) {
    return ::if_nametoindex(name.c_str());
}

bool interfaceExists(unsigned index) {
    char name[IF_MAX_STRING_SIZE + 1];
    return ::if_indextoname(index, name) != nullptr;
}

// Windows' names may be longer than 15 characters; they are cut.
InterfaceName interfaceNameOf(unsigned index) {
    char name[IF_MAX_STRING_SIZE + 1] = {};
    InterfaceName result;
    if (index != 0 && ::if_indextoname(index, name) != nullptr) {
        std::memcpy(result.text, name, std::min(std::strlen(name), sizeof result.text - 1));
    }
    return result;
}
