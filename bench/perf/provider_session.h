// The provider as a host drives it, over the simulated GPS driver: loaded
// through the system's loader, initialised through a host's settings store
// and started, so that its reader thread waits on the driver's events.
#pragma once

#include "../../harness/plugin_host.h"
#include "../../harness/plugin_library.h"
#include "../../harness/simulated_driver.h"

// A reading with every valid bit the provider reads, a 3D fix, and 12
// satellites in view, all used in the solution and listed in the opposite
// order, so that marking them scans the most. SEQUENCE moves the position,
// so that successive readings differ.
GPS_POSITION fullReading(uint32_t sequence);

class ProviderSession {
  public:
    ProviderSession();
    ~ProviderSession();
    ProviderSession(const ProviderSession&) = delete;
    ProviderSession& operator=(const ProviderSession&) = delete;

    // Empty when the provider is running, else what failed.
    const char* error() const { return error_; }
    PluginDescriptor* descriptor() const { return plugin_; }

    // Hands the driver a reading and signals its new-location event.
    void push(const GPS_POSITION& reading) { driver_.push(reading); }
    int32_t getPosition(GpsRecord* r) { return plugin_->gpsData.getPosition(r); }
    int32_t getSatellites(SatelliteRecord* s, int32_t* count) {
        return plugin_->getSatellites(s, count);
    }

  private:
    PluginLibrary library_;
    FakeHost host_;
    SimulatedDriver driver_{"."}; // beside the program: the library the provider loaded
    PluginDescriptor* plugin_ = nullptr;
    const char* error_ = "";
    bool started_ = false;
};
