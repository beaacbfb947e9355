#include "udp/SocketFilter.h"

#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>

static_assert(sizeof(FilterInstruction) == sizeof(sock_filter),
              "the program's instructions are laid out as the system's");

bool socketsTakeFilters() { return true; }

void setSocketFilter(ServerSocket::native_handle_type socket,
                     const std::vector<FilterInstruction>& program, std::error_code& error) {
    error.clear();
    if (program.empty()) {
        // A socket without a filter is already as asked. The system wants an
        // int's room for every socket option, this one's unused.
        const int unused = 0;
        if (::setsockopt(socket, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) != 0 &&
            errno != ENOENT) {
            error = std::error_code(errno, std::system_category());
        }
        return;
    }
    std::vector<sock_filter> code(program.size());
    for (std::size_t i = 0; i < program.size(); ++i) {
        code[i] = {program[i].code, program[i].jumpIfTrue, program[i].jumpIfFalse,
                   program[i].constant};
    }
    sock_fprog filter{};
    filter.len = static_cast<unsigned short>(code.size());
    filter.filter = code.data();
    if (::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) {
        error = std::error_code(errno, std::system_category());
    }
}
