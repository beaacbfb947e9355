#include "udp/SystemErrors.h"

#include <asio/error.hpp>

std::error_code standardCode(const std::error_code& error) {
    if (error.category() == asio::error::get_system_category()) {
        return {error.value(), std::system_category()};
    }
    return error;
}
