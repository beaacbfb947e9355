#include "support/Platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dravik_test {

bool runningUnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool isSystemText(const std::string& message) {
    return !message.empty() && message.find("Unknown error") == std::string::npos &&
           message.find_first_of("\r\n") == std::string::npos;
}

}  // namespace dravik_test
