#pragma once

#include <string>

// The index of the network interface called `name`, or 0 if there is none.
unsigned interfaceIndexOf(const std::string& name);

// Whether an interface has the index `index`.
bool interfaceExists(unsigned index);
