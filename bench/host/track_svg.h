// A picture of a track: the path as a polyline over an equirectangular
// projection corrected by the cosine of the middle latitude, scaled to fit,
// with its start and end marked.
#pragma once

#include "gpx_track.h"

#include <filesystem>
#include <string>

namespace navhost {

struct SvgLayout {
    int width = 800, height = 600;
    int margin = 40;
};

// The SVG document for TRACK, which must have at least one point. CAPTION
// is written under the picture.
std::string trackSvg(const Track& track, const std::string& caption,
                     const SvgLayout& layout = SvgLayout());
bool writeTrackSvg(const Track& track, const std::string& caption,
                   const std::filesystem::path& path, std::string& error);

} // namespace navhost
