// Windows: a category of the library's own for Winsock and Win32 codes. Its
// texts are the system's (as UTF-8, without the closing line break) and its
// codes map to the generic conditions, as the C++ runtimes that do this well
// map them.
#include "udp/SystemErrors.h"

#include <winsock2.h>
#include <windows.h>

#include <string>

#include <asio/error.hpp>

namespace {

struct Mapping {
    int code;
    std::errc condition;
    const char* name;
};

#define DRAVIK_MAPPING(code, condition) {code, condition, #code}

constexpr Mapping kConditions[] = {
    DRAVIK_MAPPING(WSAEINTR, std::errc::interrupted),
    DRAVIK_MAPPING(WSAEBADF, std::errc::bad_file_descriptor),
    DRAVIK_MAPPING(WSAEACCES, std::errc::permission_denied),
    DRAVIK_MAPPING(WSAEFAULT, std::errc::bad_address),
    DRAVIK_MAPPING(WSAEINVAL, std::errc::invalid_argument),
    DRAVIK_MAPPING(WSAEMFILE, std::errc::too_many_files_open),
    DRAVIK_MAPPING(WSAEWOULDBLOCK, std::errc::operation_would_block),
    DRAVIK_MAPPING(WSAEINPROGRESS, std::errc::operation_in_progress),
    DRAVIK_MAPPING(WSAEALREADY, std::errc::connection_already_in_progress),
    DRAVIK_MAPPING(WSAENOTSOCK, std::errc::not_a_socket),
    DRAVIK_MAPPING(WSAEDESTADDRREQ, std::errc::destination_address_required),
    DRAVIK_MAPPING(WSAEMSGSIZE, std::errc::message_size),
    DRAVIK_MAPPING(WSAEPROTOTYPE, std::errc::wrong_protocol_type),
    DRAVIK_MAPPING(WSAENOPROTOOPT, std::errc::no_protocol_option),
    DRAVIK_MAPPING(WSAEPROTONOSUPPORT, std::errc::protocol_not_supported),
    DRAVIK_MAPPING(WSAEOPNOTSUPP, std::errc::operation_not_supported),
    DRAVIK_MAPPING(WSAEAFNOSUPPORT, std::errc::address_family_not_supported),
    DRAVIK_MAPPING(WSAEADDRINUSE, std::errc::address_in_use),
    DRAVIK_MAPPING(WSAEADDRNOTAVAIL, std::errc::address_not_available),
    DRAVIK_MAPPING(WSAENETDOWN, std::errc::network_down),
    DRAVIK_MAPPING(WSAENETUNREACH, std::errc::network_unreachable),
    DRAVIK_MAPPING(WSAENETRESET, std::errc::network_reset),
    DRAVIK_MAPPING(WSAECONNABORTED, std::errc::connection_aborted),
    DRAVIK_MAPPING(WSAECONNRESET, std::errc::connection_reset),
    DRAVIK_MAPPING(WSAENOBUFS, std::errc::no_buffer_space),
    DRAVIK_MAPPING(WSAEISCONN, std::errc::already_connected),
    DRAVIK_MAPPING(WSAENOTCONN, std::errc::not_connected),
    DRAVIK_MAPPING(WSAETIMEDOUT, std::errc::timed_out),
    DRAVIK_MAPPING(WSAECONNREFUSED, std::errc::connection_refused),
    DRAVIK_MAPPING(WSAENAMETOOLONG, std::errc::filename_too_long),
    DRAVIK_MAPPING(WSAEHOSTUNREACH, std::errc::host_unreachable),
    DRAVIK_MAPPING(ERROR_FILE_NOT_FOUND, std::errc::no_such_file_or_directory),
    DRAVIK_MAPPING(ERROR_PATH_NOT_FOUND, std::errc::no_such_file_or_directory),
    DRAVIK_MAPPING(ERROR_TOO_MANY_OPEN_FILES, std::errc::too_many_files_open),
    DRAVIK_MAPPING(ERROR_ACCESS_DENIED, std::errc::permission_denied),
    DRAVIK_MAPPING(ERROR_INVALID_HANDLE, std::errc::invalid_argument),
    DRAVIK_MAPPING(ERROR_NOT_ENOUGH_MEMORY, std::errc::not_enough_memory),
    DRAVIK_MAPPING(ERROR_OUTOFMEMORY, std::errc::not_enough_memory),
    DRAVIK_MAPPING(ERROR_NOT_SUPPORTED, std::errc::not_supported),
    DRAVIK_MAPPING(ERROR_INVALID_PARAMETER, std::errc::invalid_argument),
    DRAVIK_MAPPING(ERROR_BROKEN_PIPE, std::errc::broken_pipe),
    DRAVIK_MAPPING(ERROR_BUSY, std::errc::device_or_resource_busy),
    DRAVIK_MAPPING(ERROR_ALREADY_EXISTS, std::errc::file_exists),
    DRAVIK_MAPPING(ERROR_FILE_EXISTS, std::errc::file_exists),
    DRAVIK_MAPPING(ERROR_MORE_DATA, std::errc::message_size),
    DRAVIK_MAPPING(ERROR_OPERATION_ABORTED, std::errc::operation_canceled),
    DRAVIK_MAPPING(ERROR_NETNAME_DELETED, std::errc::connection_reset),
    DRAVIK_MAPPING(ERROR_CONNECTION_REFUSED, std::errc::connection_refused),
    DRAVIK_MAPPING(ERROR_PORT_UNREACHABLE, std::errc::connection_refused),
    DRAVIK_MAPPING(ERROR_NETWORK_UNREACHABLE, std::errc::network_unreachable),
    DRAVIK_MAPPING(ERROR_HOST_UNREACHABLE, std::errc::host_unreachable),
    DRAVIK_MAPPING(ERROR_SEM_TIMEOUT, std::errc::timed_out),
    DRAVIK_MAPPING(WAIT_TIMEOUT, std::errc::timed_out),
};

#undef DRAVIK_MAPPING

const Mapping* mappingOf(int code) {
    for (const Mapping& mapping : kConditions) {
        if (mapping.code == code) return &mapping;
    }
    return nullptr;
}

std::string utf8(const wchar_t* text, int length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, length, &converted[0], size, nullptr, nullptr);
    }
    return converted;
}

// Where the system has no text for a code (Wine has none for many of
// Winsock's): its number, and its name where it is known.
std::string fallbackText(int code) {
    const Mapping* mapping = mappingOf(code);
    return "error " + std::to_string(code) +
           (mapping != nullptr ? std::string(" (") + mapping->name + ")" : std::string());
}

class WindowsSystemCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "system"; }

    std::string message(int code) const override {
        wchar_t* text = nullptr;
        DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        if (length == 0 || text == nullptr) return fallbackText(code);
        while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r')) --length;
        std::string message = utf8(text, static_cast<int>(length));
        ::LocalFree(text);
        return message;
    }

    std::error_condition default_error_condition(int code) const noexcept override {
        if (const Mapping* mapping = mappingOf(code)) {
            return std::make_error_condition(mapping->condition);
        }
        return {code, *this};
    }
};

const std::error_category& windowsSystemCategory() {
    static const WindowsSystemCategory category;
    return category;
}

}  // namespace

std::error_code standardCode(const std::error_code& error) {
    if (error.category() == asio::error::get_system_category()) {
        return {error.value(), windowsSystemCategory()};
    }
    return error;
}
