#include "udp/NetworkInterfaces.h"

#include <net/if.h>

unsigned interfaceIndexOf(const std::string& name) {
    return ::if_nametoindex(name.c_str());
}

bool interfaceExists(unsigned index) {
    char name[IF_NAMESIZE];
    return ::if_indextoname(index, name) != nullptr;
}
