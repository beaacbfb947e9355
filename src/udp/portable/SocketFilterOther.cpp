// Systems without socket filters: the server judges every sender itself.
#include "udp/SocketFilter.h"

bool socketsTakeFilters() { return false; }

void setSocketFilter(ServerSocket::native_handle_type, const std::vector<FilterInstruction>&,
                     std::error_code& error) {
    error = std::make_error_code(std::errc::operation_not_supported);
}
