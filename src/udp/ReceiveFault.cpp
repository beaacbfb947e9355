#include "udp/ReceiveFault.h"

#include <string>

namespace {

class ReceiveFaultCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "dravik.receive"; }
    std::string message(int fault) const override {
        switch (static_cast<ReceiveFault>(fault)) {
            case ReceiveFault::ControlCutShort:
                return "control data cut short; the datagrams' boundaries are unknown";
            case ReceiveFault::TrainPastArea:
                return "coalesced datagrams longer than the receive area";
        }
        return "unknown receive fault";
    }
};

}  // namespace

std::error_code make_error_code(ReceiveFault fault) {
    static const ReceiveFaultCategory category;
    return {static_cast<int>(fault), category};
}
