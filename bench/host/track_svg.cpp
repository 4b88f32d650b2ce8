#include "track_svg.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// Metres per degree of latitude on a sphere of the Earth's mean radius.
const double kMetresPerDegree = 6371008.8 * kPi / 180;

// The room a drawn item takes, in canvas pixels.
struct Box {
    double left, top, right, bottom;
    bool overlaps(const Box& o) const {
        return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
    }
    bool contains(double x, double y) const {
        return left <= x && x <= right && top <= y && y <= bottom;
    }
};

// Whether the segment from (X0, Y0) to (X1, Y1) crosses BOX: sampled every
// pixel, which is finer than the line is wide.
bool crosses(const Box& box, double x0, double y0, double x1, double y1) {
    const int steps = 1 + static_cast<int>(std::hypot(x1 - x0, y1 - y0));
    for (int i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(i) / steps;
        if (box.contains(x0 + (x1 - x0) * t, y0 + (y1 - y0) * t))
            return true;
    }
    return false;
}

// The box of a line of CHARS characters of SIZE pixels at baseline Y,
// starting at X or ending there; a generous average glyph width.
Box textBox(double x, double y, size_t chars, double size, bool endsAtX) {
    const double width = static_cast<double>(chars) * size * 0.62;
    const double left = endsAtX ? x - width : x;
    return Box{left, y - size, left + width, y + size * 0.3};
}

// The longest round length (1, 2 or 5 times a power of ten) up to MAX.
double roundLength(double max) {
    const double power = std::pow(10.0, std::floor(std::log10(max)));
    for (double step : {5.0, 2.0, 1.0})
        if (step * power <= max)
            return step * power;
    return power;
}

std::string lengthText(double metres) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    if (metres >= 1000)
        out << metres / 1000 << " km";
    else if (metres >= 1)
        out << metres << " m";
    else
        out << metres * 100 << " cm";
    return out.str();
}

// The canvas: writes items and remembers the room they take, so that the
// labels placed last overlap nothing.
class Canvas {
  public:
    explicit Canvas(const SvgLayout& layout) : layout_(layout) {
        out_.imbue(std::locale::classic());
        out_.setf(std::ios::fixed);
        out_.precision(2);
    }
    std::ostringstream& out() { return out_; }
    void take(const Box& box) { taken_.push_back(box); }
    // The track's line, which labels keep off where they can.
    void takeLine(double x, double y) { line_.push_back({x, y}); }

    void text(const char* id, double x, double y, bool endsAtX, double size, const char* colour,
              const std::string& content) {
        out_ << "<text id=\"" << id << "\" x=\"" << x << "\" y=\"" << y << "\" text-anchor=\""
             << (endsAtX ? "end" : "start") << "\" font-family=\"sans-serif\" font-size=\"" << size
             << "\" fill=\"" << colour << "\">" << escapeXml(content) << "</text>\n";
    }

    // TEXT beside the marker at (X, Y): the first place around it, moving
    // outwards, that stays on the canvas and overlaps nothing drawn so far,
    // the track's line included; failing that, one that only the line
    // crosses.
    void label(const char* id, double x, double y, const char* colour, const char* content) {
        for (bool offLine : {true, false})
            if (placeLabel(id, x, y, colour, content, offLine))
                return;
        text(id, x + 10, y - 10, false, 14, colour, content); // nowhere free: beside it
    }

  private:
    bool placeLabel(const char* id, double x, double y, const char* colour, const char* content,
                    bool offLine) {
        const double size = 14;
        const size_t chars = std::char_traits<char>::length(content);
        const Box canvas{0, 0, double(layout_.width), double(layout_.height)};
        for (int ring = 0; ring < 12; ++ring) {
            const double dx = 10 + 4 * ring, up = 10 + 12 * ring, down = 22 + 12 * ring;
            const double places[4][3] = {{x + dx, y - up, 0},
                                         {x - dx, y - up, 1},
                                         {x + dx, y + down, 0},
                                         {x - dx, y + down, 1}};
            for (const auto& p : places) {
                const Box box = textBox(p[0], p[1], chars, size, p[2] != 0);
                if (box.left < canvas.left || box.top < canvas.top || box.right > canvas.right ||
                    box.bottom > canvas.bottom || overlapsTaken(box) ||
                    (offLine && crossesLine(box)))
                    continue;
                take(box);
                text(id, p[0], p[1], p[2] != 0, size, colour, content);
                return true;
            }
        }
        return false;
    }

    bool overlapsTaken(const Box& box) const {
        for (const Box& t : taken_)
            if (box.overlaps(t))
                return true;
        return false;
    }

    bool crossesLine(const Box& box) const {
        for (size_t i = 0; i + 1 < line_.size(); ++i)
            if (crosses(box, line_[i].first, line_[i].second, line_[i + 1].first,
                        line_[i + 1].second))
                return true;
        return false;
    }

    const SvgLayout& layout_;
    std::ostringstream out_;
    std::vector<Box> taken_;
    std::vector<std::pair<double, double> > line_;
};

// A bar of a round length, at most a quarter of the drawing wide, bottom
// left under the drawing; SCALE is pixels per metre.
void drawScaleBar(Canvas& c, const SvgLayout& layout, double scale) {
    const double metres = roundLength((layout.width - 2.0 * layout.margin) / 4 / scale);
    const double length = metres * scale;
    const double x = layout.margin, y = layout.height - 40;
    c.out() << "<path id=\"scale\" d=\"M " << x << " " << y - 6 << " V " << y << " H " << x + length
            << " V " << y - 6 << "\" fill=\"none\" stroke=\"#333333\" "
            << "stroke-width=\"2\"/>\n";
    const std::string text = lengthText(metres);
    c.text("scale-label", x + length + 8, y + 4, false, 12, "#333333", text);
    c.take(Box{x - 2, y - 8, x + length + 8 + textBox(0, 0, text.size(), 12, false).right, y + 6});
}

// An arrow pointing up with an N beside it, in the top right corner.
void drawNorthArrow(Canvas& c, const SvgLayout& layout) {
    const double x = layout.width - 22.0, top = 8;
    c.out() << "<path id=\"north\" d=\"M " << x << " " << top << " L " << x - 7 << " " << top + 24
            << " L " << x << " " << top + 18 << " L " << x + 7 << " " << top + 24
            << " Z\" fill=\"#333333\"/>\n";
    c.text("north-label", x - 12, top + 20, true, 14, "#333333", "N");
    c.take(Box{x - 26, top - 2, x + 9, top + 26});
}

// Plane coordinates in metres east and north of the south-west corner,
// in pixels, the drawing centred in its room.
class Projection {
  public:
    Projection(const TrackSummary& s, const SvgLayout& layout)
        : minLatitude_(s.minLatitude), minLongitude_(s.minLongitude) {
        const double midLatitude = (s.minLatitude + s.maxLatitude) / 2;
        east_ = std::cos(midLatitude * kPi / 180) * kMetresPerDegree;
        const double spanX = (s.maxLongitude - s.minLongitude) * east_;
        const double spanY = (s.maxLatitude - s.minLatitude) * kMetresPerDegree;
        const double roomX = layout.width - 2.0 * layout.margin;
        const double roomY = layout.height - double(layout.margin) - layout.footer;
        // Pixels per metre; never more than the minimum extent allows.
        scale_ = std::min(roomX / std::max(spanX, layout.minExtentMetres),
                          roomY / std::max(spanY, layout.minExtentMetres));
        // The drawing is centred in its room.
        left_ = layout.margin + (roomX - spanX * scale_) / 2;
        bottom_ = layout.height - layout.footer - (roomY - spanY * scale_) / 2;
    }

    double x(const TrackPoint& p) const {
        return left_ + (p.longitude - minLongitude_) * east_ * scale_;
    }
    double y(const TrackPoint& p) const {
        return bottom_ - (p.latitude - minLatitude_) * kMetresPerDegree * scale_;
    }
    double scale() const { return scale_; }

  private:
    double minLatitude_, minLongitude_;
    double east_, scale_, left_, bottom_;
};

} // namespace

std::string trackSvg(const Track& track, const std::string& caption, const SvgLayout& layout) {
    const Projection at(summarize(track), layout);

    Canvas c(layout);
    std::ostringstream& out = c.out();
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << layout.width << "\" height=\""
        << layout.height << "\" viewBox=\"0 0 " << layout.width << " " << layout.height << "\">\n"
        << "<rect x=\"0\" y=\"0\" width=\"" << layout.width << "\" height=\"" << layout.height
        << "\" fill=\"#ffffff\"/>\n"
        << "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\" "
           "stroke-linejoin=\"round\" stroke-linecap=\"round\" points=\"";
    for (size_t i = 0; i < track.points.size(); ++i) {
        out << (i > 0 ? " " : "") << at.x(track.points[i]) << "," << at.y(track.points[i]);
        c.takeLine(at.x(track.points[i]), at.y(track.points[i]));
    }
    out << "\"/>\n";
    const TrackPoint& first = track.points.front();
    const TrackPoint& last = track.points.back();
    out << "<circle id=\"start\" cx=\"" << at.x(first) << "\" cy=\"" << at.y(first)
        << "\" r=\"7\" fill=\"#2ca02c\"><title>start</title></circle>\n"
        << "<rect id=\"end\" x=\"" << at.x(last) - 6 << "\" y=\"" << at.y(last) - 6
        << "\" width=\"12\" height=\"12\" fill=\"#d62728\"><title>end</title></rect>\n";
    c.take(Box{at.x(first) - 7, at.y(first) - 7, at.x(first) + 7, at.y(first) + 7});
    c.take(Box{at.x(last) - 6, at.y(last) - 6, at.x(last) + 6, at.y(last) + 6});

    drawScaleBar(c, layout, at.scale());
    drawNorthArrow(c, layout);
    const double captionY = layout.height - 12.0;
    c.text("caption", layout.margin, captionY, false, 13, "#444444", caption);
    c.take(Box{0, captionY - 14, double(layout.width), double(layout.height)});
    c.label("start-label", at.x(first), at.y(first), "#2ca02c", "start");
    c.label("end-label", at.x(last), at.y(last), "#d62728", "end");
    out << "</svg>\n";
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
