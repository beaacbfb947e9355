#pragma once

#include <exception>

// Runs steps that must all run even if one throws (a host logger may), and
// keeps the first exception to pass on once they have.
class FirstFailure {
public:
    template <typename Step>
    void run(Step&& step) noexcept {
        try {
            step();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }

    void rethrow() const {
        if (failure) std::rethrow_exception(failure);
    }

private:
    std::exception_ptr failure;
};
