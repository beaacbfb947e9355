#pragma once

#include <string>

// The index of the network interface called `name`, or 0 if there is none.
unsigned interfaceIndexOf(const std::string& name);

// Whether an interface has the index `index`.
bool interfaceExists(unsigned index);

// The name of the interface with index `index` (at most 15 characters), or
// empty text if there is none.
struct InterfaceName {
    char text[16] = {};
};
InterfaceName interfaceNameOf(unsigned index);

// The last interface name looked up, kept by one thread: datagrams mostly
// arrive on one interface, and a lookup asks the system. A name changed
// since is seen once another interface has been looked up.
class InterfaceNameCache {
public:
    const InterfaceName& nameOf(unsigned index) {
        if (index != cachedIndex) {
            cached = interfaceNameOf(index);
            cachedIndex = index;
        }
        return cached;
    }

private:
    unsigned cachedIndex = 0;
    InterfaceName cached;
};
