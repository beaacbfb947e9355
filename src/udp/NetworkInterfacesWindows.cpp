#include "udp/NetworkInterfaces.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

unsigned interfaceIndexOf(const std::string& name) {
    return ::if_nametoindex(name.c_str());
}

bool interfaceExists(unsigned index) {
    char name[IF_MAX_STRING_SIZE + 1];
    return ::if_indextoname(index, name) != nullptr;
}
