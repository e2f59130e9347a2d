#include "sim/host_environment.h"

#include "platform/host_platform.h"

namespace sim {
namespace {

class OnHostClock : public Environment {
public:
    DWORD Now() override { return host::Now(); }
    void Idle() override { host::Idle(); }
    void OnCall(const Call& call) override { host::NoteBridgeCall(OrdinalOf(call.op)); }
};

}  // namespace

Environment& HostEnvironment() {
    static OnHostClock environment;
    return environment;
}

}  // namespace sim
