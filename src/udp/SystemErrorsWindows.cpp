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
};

constexpr Mapping kConditions[] = {
    {WSAEINTR, std::errc::interrupted},
    {WSAEBADF, std::errc::bad_file_descriptor},
    {WSAEACCES, std::errc::permission_denied},
    {WSAEFAULT, std::errc::bad_address},
    {WSAEINVAL, std::errc::invalid_argument},
    {WSAEMFILE, std::errc::too_many_files_open},
    {WSAEWOULDBLOCK, std::errc::operation_would_block},
    {WSAEINPROGRESS, std::errc::operation_in_progress},
    {WSAEALREADY, std::errc::connection_already_in_progress},
    {WSAENOTSOCK, std::errc::not_a_socket},
    {WSAEDESTADDRREQ, std::errc::destination_address_required},
    {WSAEMSGSIZE, std::errc::message_size},
    {WSAEPROTOTYPE, std::errc::wrong_protocol_type},
    {WSAENOPROTOOPT, std::errc::no_protocol_option},
    {WSAEPROTONOSUPPORT, std::errc::protocol_not_supported},
    {WSAEOPNOTSUPP, std::errc::operation_not_supported},
    {WSAEAFNOSUPPORT, std::errc::address_family_not_supported},
    {WSAEADDRINUSE, std::errc::address_in_use},
    {WSAEADDRNOTAVAIL, std::errc::address_not_available},
    {WSAENETDOWN, std::errc::network_down},
    {WSAENETUNREACH, std::errc::network_unreachable},
    {WSAENETRESET, std::errc::network_reset},
    {WSAECONNABORTED, std::errc::connection_aborted},
    {WSAECONNRESET, std::errc::connection_reset},
    {WSAENOBUFS, std::errc::no_buffer_space},
    {WSAEISCONN, std::errc::already_connected},
    {WSAENOTCONN, std::errc::not_connected},
    {WSAETIMEDOUT, std::errc::timed_out},
    {WSAECONNREFUSED, std::errc::connection_refused},
    {WSAENAMETOOLONG, std::errc::filename_too_long},
    {WSAEHOSTUNREACH, std::errc::host_unreachable},
    {ERROR_FILE_NOT_FOUND, std::errc::no_such_file_or_directory},
    {ERROR_PATH_NOT_FOUND, std::errc::no_such_file_or_directory},
    {ERROR_TOO_MANY_OPEN_FILES, std::errc::too_many_files_open},
    {ERROR_ACCESS_DENIED, std::errc::permission_denied},
    {ERROR_INVALID_HANDLE, std::errc::invalid_argument},
    {ERROR_NOT_ENOUGH_MEMORY, std::errc::not_enough_memory},
    {ERROR_OUTOFMEMORY, std::errc::not_enough_memory},
    {ERROR_NOT_SUPPORTED, std::errc::not_supported},
    {ERROR_INVALID_PARAMETER, std::errc::invalid_argument},
    {ERROR_BROKEN_PIPE, std::errc::broken_pipe},
    {ERROR_BUSY, std::errc::device_or_resource_busy},
    {ERROR_ALREADY_EXISTS, std::errc::file_exists},
    {ERROR_FILE_EXISTS, std::errc::file_exists},
    {ERROR_MORE_DATA, std::errc::message_size},
    {ERROR_OPERATION_ABORTED, std::errc::operation_canceled},
    {ERROR_NETNAME_DELETED, std::errc::connection_reset},
    {ERROR_CONNECTION_REFUSED, std::errc::connection_refused},
    {ERROR_PORT_UNREACHABLE, std::errc::connection_refused},
    {ERROR_NETWORK_UNREACHABLE, std::errc::network_unreachable},
    {ERROR_HOST_UNREACHABLE, std::errc::host_unreachable},
    {ERROR_SEM_TIMEOUT, std::errc::timed_out},
    {WAIT_TIMEOUT, std::errc::timed_out},
};

std::string utf8(const wchar_t* text, int length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, length, &converted[0], size, nullptr, nullptr);
    }
    return converted;
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
        if (length == 0 || text == nullptr) return "asio.system error";
        while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r')) --length;
        std::string message = utf8(text, static_cast<int>(length));
        ::LocalFree(text);
        return message;
    }

    std::error_condition default_error_condition(int code) const noexcept override {
        for (const Mapping& mapping : kConditions) {
            if (mapping.code == code) return std::make_error_condition(mapping.condition);
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
