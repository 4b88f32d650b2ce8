// The recorder as a host drives it: loaded through the system's loader,
// initialised with a tracks folder through a host's settings store, and
// driven through its descriptor.
#pragma once

#include "../../harness/plugin_host.h"
#include "../../harness/plugin_library.h"
#include "../../harness/test_files.h"

#include <string>

// A fresh, empty folder NAME under the benchmarks' output folder.
inline std::string benchFolder(const std::string& name) {
    return freshFolder(name, "bench-output");
}

class RecorderSession {
  public:
    // Loads the recorder and runs PluginInit with FOLDER as tracks_path.
    explicit RecorderSession(const std::string& folder);

    bool ok() const { return plugin_ != nullptr; }
    void start() { plugin_->start(); }
    void stop() { plugin_->stop(); }
    void deliver(const GpsRecord& r) { plugin_->gpsData.setGPSData(&r); }
    // Removes the files of the periods so far: the recorder never replaces
    // a track, so periods within one second would otherwise search for a
    // free name.
    void removeTracks();
    PluginDescriptor* descriptor() const { return plugin_; }

  private:
    std::string folder_;
    PluginLibrary library_;
    FakeHost host_;
    PluginDescriptor* plugin_ = nullptr;
};
