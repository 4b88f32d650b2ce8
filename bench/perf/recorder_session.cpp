#include "recorder_session.h"

#include <filesystem>

namespace fs = std::filesystem;

RecorderSession::RecorderSession(const std::string& folder)
    : folder_(folder), library_(programFolder() + libraryFileName("wendmark")) {
    if (!library_.ok())
        return;
    PluginDescriptor* d = library_.descriptor();
    host_.store[wide("tracks_path")] = wide(folder);
    if (d->init(host_.context()) == 1)
        plugin_ = d;
}

void RecorderSession::removeTracks() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder_, ec))
        fs::remove(entry.path(), ec);
}
