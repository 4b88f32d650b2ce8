#include "track_svg.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <locale>
#include <sstream>

namespace navhost {

namespace {

const double kPi = 3.14159265358979323846;

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A marker's label beside X, on the side of the picture with more room.
std::string label(double x, double y, int width, const char* colour, const char* text) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed);
    out.precision(2);
    const bool left = x > width / 2.0;
    out << "<text x=\"" << (left ? x - 10 : x + 10) << "\" y=\"" << y << "\" text-anchor=\""
        << (left ? "end" : "start") << "\" font-family=\"sans-serif\" font-size=\"14\" fill=\""
        << colour << "\">" << text << "</text>\n";
    return out.str();
}

} // namespace

std::string trackSvg(const Track& track, const std::string& caption, const SvgLayout& layout) {
    const TrackSummary s = summarize(track);
    // Plane coordinates: east and north in degrees of latitude.
    const double midLatitude = (s.minLatitude + s.maxLatitude) / 2;
    const double xScale = std::cos(midLatitude * kPi / 180);
    const double spanX = (s.maxLongitude - s.minLongitude) * xScale;
    const double spanY = s.maxLatitude - s.minLatitude;
    const double roomX = layout.width - 2.0 * layout.margin;
    const double roomY = layout.height - 2.0 * layout.margin;
    double scale = 1;
    if (spanX > 0 && spanY > 0)
        scale = std::min(roomX / spanX, roomY / spanY);
    else if (spanX > 0)
        scale = roomX / spanX;
    else if (spanY > 0)
        scale = roomY / spanY;
    // The drawing is centred in the room the margins leave.
    const double left = layout.margin + (roomX - spanX * scale) / 2;
    const double bottom = layout.height - layout.margin - (roomY - spanY * scale) / 2;

    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed);
    out.precision(2);
    auto x = [&](const TrackPoint& p) {
        return left + (p.longitude - s.minLongitude) * xScale * scale;
    };
    auto y = [&](const TrackPoint& p) { return bottom - (p.latitude - s.minLatitude) * scale; };

    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << layout.width << "\" height=\""
        << layout.height << "\" viewBox=\"0 0 " << layout.width << " " << layout.height << "\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << layout.width << "\" height=\"" << layout.height
        << "\" fill=\"#ffffff\"/>\n"
        << "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\" "
           "stroke-linejoin=\"round\" stroke-linecap=\"round\" points=\"";
    for (size_t i = 0; i < track.points.size(); ++i)
        out << (i > 0 ? " " : "") << x(track.points[i]) << "," << y(track.points[i]);
    out << "\"/>\n";
    const TrackPoint& first = track.points.front();
    const TrackPoint& last = track.points.back();
    out << "<circle id=\"start\" cx=\"" << x(first) << "\" cy=\"" << y(first)
        << "\" r=\"7\" fill=\"#2ca02c\"><title>start</title></circle>\n"
        << "<rect id=\"end\" x=\"" << x(last) - 6 << "\" y=\"" << y(last) - 6
        << "\" width=\"12\" height=\"12\" fill=\"#d62728\"><title>end</title></rect>\n"
        << label(x(first), y(first) - 10, layout.width, "#2ca02c", "start")
        << label(x(last), y(last) + 22, layout.width, "#d62728", "end") << "<text x=\""
        << layout.margin << "\" y=\"" << layout.height - 12
        << "\" font-family=\"sans-serif\" font-size=\"13\" fill=\"#444444\">" << escapeXml(caption)
        << "</text>\n"
        << "</svg>\n";
    return out.str();
}

bool writeTrackSvg(const Track& track, const std::string& caption,
                   const std::filesystem::path& path, std::string& error) {
    if (track.points.empty()) {
        error = "the track has no points to draw";
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << trackSvg(track, caption);
    out.close();
    if (!out) {
        error = path.u8string() + " cannot be written";
        return false;
    }
    return true;
}

} // namespace navhost
