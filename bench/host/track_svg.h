// A picture of a track: the path as a polyline over an equirectangular
// projection corrected by the cosine of the middle latitude, north up,
// scaled to fit but never to less than a minimum extent (so that a receiver
// standing still is drawn as the small scatter it is), with its start and
// end marked and labelled, a scale bar and a north arrow.
#pragma once

#include "gpx_track.h"

#include <filesystem>
#include <string>

namespace navhost {

struct SvgLayout {
    int width = 800, height = 600;
    int margin = 40;             // left, top and right of the drawing
    int footer = 70;             // below the drawing: scale bar and caption
    double minExtentMetres = 50; // the least extent drawn across either axis
};

// The SVG document for TRACK, which must have at least one point. CAPTION
// is written under the picture.
std::string trackSvg(const Track& track, const std::string& caption,
                     const SvgLayout& layout = SvgLayout());
bool writeTrackSvg(const Track& track, const std::string& caption,
                   const std::filesystem::path& path, std::string& error);

} // namespace navhost
