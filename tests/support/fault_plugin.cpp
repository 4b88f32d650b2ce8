#include "fault_plugin.h"

FaultPlugin::FaultPlugin(const std::string& name)
    : library_(programFolder() + libraryFileName(name + "_faults")) {
    if (!library_.ok())
        return;
    reset_ = reinterpret_cast<PlatformFaultsResetFn>(library_.symbol(PLATFORM_FAULTS_RESET_NAME));
    arm_ = reinterpret_cast<PlatformFaultsArmFn>(library_.symbol(PLATFORM_FAULTS_ARM_NAME));
    read_ = reinterpret_cast<PlatformFaultsReadFn>(library_.symbol(PLATFORM_FAULTS_READ_NAME));
}

bool FaultPlugin::ok() const {
    return library_.ok() && reset_ != nullptr && arm_ != nullptr && read_ != nullptr;
}

PlatformFaultCounters FaultPlugin::counters() const {
    PlatformFaultCounters c{};
    read_(&c);
    return c;
}
