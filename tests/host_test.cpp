// The reference host: its settings store, settings services, descriptor
// checks and track read-back tested directly, and the navhost program run
// as users run it, over the real recorder and a scripted stand-in provider.
#include "../harness/plugin_host.h"
#include "../harness/plugin_library.h"
#include "../harness/simulated_driver.h"
#include "../harness/test_files.h"
#include "support/child_program.h"
#include "support/nmea_sentence.h"

#include "gpx_track.h"
#include "ini_store.h"
#include "navhost_cli.h"
#include "plugin_loader.h"
#include "settings_host.h"
#include "track_svg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using navhost::IniStore;

std::string navhostProgram() {
    return programFolder() + programFileName("navhost");
}

std::string builtLibrary(const std::string& name) {
    return programFolder() + libraryFileName(name);
}

// Runs navhost with ARGS in FOLDER as users run it, as a program of its
// own. Under Wine every process start costs about a minute, so there only
// the runs marked OWN_PROCESS start the program; the others run the same
// command line inside the test process.
ProgramResult runNavhost(const std::vector<std::string>& args, const std::string& folder,
                         bool ownProcess = false) {
#if defined(_WIN32)
    if (!ownProcess) {
        std::ostringstream out, err;
        const int code = navhostMain(args, out, err);
        return ProgramResult{code, out.str(), err.str()};
    }
#else
    (void)ownProcess;
#endif
    return runProgram(navhostProgram(), args, folder);
}

std::string testFolder() {
    return freshFolder(std::string("host-") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// ---- Settings store ----

TEST(HostIniStore, SeedsIntoTheFileKeepingWhatAUserWrote) {
    IniStore store;
    std::string error;
    ASSERT_TRUE(store.parse("; written by hand\r\n"
                            "[WENDMARK]\r\n"
                            "  tracks_path = C:\\tracks\\ \r\n"
                            "\r\n"
                            "# the provider\r\n"
                            "[orvane]\r\n"
                            "log_file=\\orvane.log\r\n",
                            error))
        << error;

    std::string value;
    ASSERT_TRUE(store.get("Wendmark", "TRACKS_PATH", value));
    EXPECT_EQ("C:\\tracks\\", value);
    EXPECT_FALSE(store.get("ORVANE", "log_enabled", value));
    EXPECT_FALSE(store.get("WENDMARK", "log_file", value)) << "keys belong to their section";

    // The same value changes nothing; new keys join their section; a new
    // section goes to the end.
    store.set("WENDMARK", "tracks_path", "C:\\tracks\\");
    EXPECT_FALSE(store.changed());
    store.set("ORVANE", "log_enabled", "false");
    store.set("SCRIPTED", "positions", "20");
    store.set("orvane", "LOG_FILE", "\\other.log");
    store.set("WENDMARK", "name_format", "%Y");
    EXPECT_TRUE(store.changed());
    EXPECT_EQ("; written by hand\r\n"
              "[WENDMARK]\r\n"
              "  tracks_path = C:\\tracks\\ \r\n"
              "name_format=%Y\r\n"
              "\r\n"
              "# the provider\r\n"
              "[orvane]\r\n"
              "log_file=\\other.log\r\n"
              "log_enabled=false\r\n"
              "\r\n"
              "[SCRIPTED]\r\n"
              "positions=20\r\n",
              store.text());

    // Saved and read back, from a file that did not exist.
    const std::string folder = testFolder();
    IniStore fresh;
    ASSERT_TRUE(fresh.load(folder + "new.ini", error)) << error;
    fresh.set("WENDMARK", "tracks_path", "/data/tracks/");
    ASSERT_TRUE(fresh.save(error)) << error;
    IniStore again;
    ASSERT_TRUE(again.load(folder + "new.ini", error)) << error;
    ASSERT_TRUE(again.get("WENDMARK", "tracks_path", value));
    EXPECT_EQ("/data/tracks/", value);
}

TEST(HostIniStore, RefusesWhatItCannotReadNamingTheLine) {
    const struct {
        const char* text;
        const char* where;
    } bad[] = {
        {"[A]\nok=1\njunk\n", "line 3"}, {"k=v\n", "line 1"},
        {"[A\nk=v\n", "line 1"},         {"[A]\n=v\n", "line 2"},
        {"[A]\nk=\xff\xfe\n", "line 2"},
    };
    for (const auto& b : bad) {
        IniStore store;
        std::string error;
        EXPECT_FALSE(store.parse(b.text, error)) << b.text;
        EXPECT_NE(std::string::npos, error.find(b.where)) << error;
    }
    const std::string folder = testFolder();
    IniStore store;
    std::string error;
    EXPECT_FALSE(store.load(folder, error)) << "a folder is no settings file";
}

// ---- Settings services, as a real plugin uses them ----

TEST(HostSettings, TheRecorderSeedsAndReadsItsSectionThroughTheTable) {
    const std::string folder = testFolder();
    IniStore store;
    std::string error;
    ASSERT_TRUE(store.load(folder + "navhost.ini", error)) << error;
    navhost::SettingsHost host(store);

    PluginModule module;
    ASSERT_EQ(LoadStatus::Loaded, module.load(builtLibrary("wendmark"), error)) << error;
    PluginDescriptor* recorder = module.entry()();
    HostContext* context = host.contextFor("WENDMARK");

    // An empty store: the recorder seeds its default.
    ASSERT_EQ(1, recorder->init(context));
    std::string value;
    ASSERT_TRUE(store.get("WENDMARK", "tracks_path", value));
    EXPECT_EQ("C:\\", value);

    // With a value in the store, the recorder writes its track there.
    store.set("WENDMARK", "tracks_path", folder);
    ASSERT_EQ(1, recorder->init(context));
    ASSERT_EQ(1, recorder->start());
    GpsRecord r;
    std::memset(&r, 0, sizeof r);
    r.latitude = 51.25f;
    r.year = 2010, r.month = 5, r.day = 20, r.fixStatus = FIX_3D;
    recorder->gpsData.setGPSData(&r);
    recorder->stop();
    recorder->deInit();
    size_t tracks = 0;
    for (const std::string& name : listFiles(folder))
        tracks += name.size() > 4 && name.compare(name.size() - 4, 4, ".gpx") == 0;
    EXPECT_EQ(1u, tracks);

    // A string handed out stays valid and unchanged after the key changes.
    GetSettingFn getSetting =
        reinterpret_cast<GetSettingFn>(context->services->entries[HOST_SERVICE_GET_SETTING]);
    const WideChar* first = nullptr;
    ASSERT_EQ(1, getSetting(context, wide("tracks_path").c_str(), &first));
    store.set("WENDMARK", "tracks_path", "elsewhere/");
    const WideChar* second = nullptr;
    ASSERT_EQ(1, getSetting(context, wide("tracks_path").c_str(), &second));
    EXPECT_EQ(folder, narrow(first));
    EXPECT_EQ("elsewhere/", narrow(second));
    const WideChar* none = nullptr;
    EXPECT_EQ(0, getSetting(context, wide("no_such_key").c_str(), &none));
    EXPECT_EQ(nullptr, none);
}

// ---- Descriptor checks ----

int32_t PLUGIN_CALL fakeInit(HostContext*) {
    return 1;
}
int32_t PLUGIN_CALL fakeLifecycle() {
    return 1;
}
void PLUGIN_CALL fakeSetGPSData(const GpsRecord*) {}
int32_t PLUGIN_CALL fakeGetSatellites(SatelliteRecord*, int32_t*) {
    return 0;
}

const WideChar kGoodName[] = {'P', 'R', 'O', 'B', 'E', 0};
const WideChar kMaker[] = {'M', 'a', 'k', 'e', 'r', 0};
const WideChar kOtherMaker[] = {'M', 'a', 'k', 'e', 'r', 0};
const WideChar kEmpty[] = {0};
const WideChar kControl[] = {'A', 7, 'B', 0};
const WideChar kLoneSurrogate[] = {'A', 0xD800, 'B', 0};
// Static, so that it lies in this program's image as a plugin's would.
PluginDescriptor probe;

PluginDescriptor goodRecorder() {
    PluginDescriptor d;
    std::memset(&d, 0, sizeof d);
    d.interfaceVersion = 3000;
    d.reserved1 = -1;
    d.kind = PLUGIN_KIND_RECEIVES_GPS;
    d.number = 1000;
    d.name = kGoodName;
    d.maker = d.makerAgain = kMaker;
    d.init = &fakeInit;
    d.deInit = d.start = d.stop = &fakeLifecycle;
    d.gpsData.setGPSData = &fakeSetGPSData;
    return d;
}

TEST(HostDescriptorCheck, FlagsEachSlotThatBreaksTheContract) {
    const navhost::ModuleImage image = navhost::ModuleImage::containing(&probe);
    ASSERT_FALSE(image.empty());

    probe = goodRecorder();
    EXPECT_TRUE(navhost::checkDescriptor(&probe, image).conforms());
    probe.kind = PLUGIN_KIND_SUPPLIES_GPS;
    probe.getSatellites = &fakeGetSatellites;
    EXPECT_TRUE(navhost::checkDescriptor(&probe, image).conforms());

    const WideString onHeap = wide("A NAME LONG ENOUGH TO LIVE ON THE HEAP, NOT IN AN IMAGE");
    const struct {
        const char* expected;
        void (*breakIt)(PluginDescriptor&);
    } cases[] = {
        {"slot 0", [](PluginDescriptor& d) { d.interfaceVersion = 2999; }},
        {"slot 1", [](PluginDescriptor& d) { d.reserved1 = 0; }},
        {"slot 2", [](PluginDescriptor& d) { d.kind = 8; }},
        {"slot 4 (name) is a null", [](PluginDescriptor& d) { d.name = nullptr; }},
        {"slot 4 (name) is empty", [](PluginDescriptor& d) { d.name = kEmpty; }},
        {"slot 4 (name) is not text", [](PluginDescriptor& d) { d.name = kControl; }},
        {"slot 5 (maker) is not text",
         [](PluginDescriptor& d) { d.maker = d.makerAgain = kLoneSurrogate; }},
        {"slot 6", [](PluginDescriptor& d) { d.makerAgain = kOtherMaker; }},
        {"slot 7", [](PluginDescriptor& d) { d.reserved7 = 1; }},
        {"slot 8", [](PluginDescriptor& d) { d.init = nullptr; }},
        {"slot 11", [](PluginDescriptor& d) { d.stop = nullptr; }},
        {"slot 12",
         [](PluginDescriptor& d) {
             d.unused12 = reinterpret_cast<PluginUnusedFn>(&fakeLifecycle);
         }},
        {"slot 14", [](PluginDescriptor& d) { d.gpsData.setGPSData = nullptr; }},
        {"slot 15 must be null", [](PluginDescriptor& d) { d.getSatellites = &fakeGetSatellites; }},
        {"slot 15 (PluginGetSatellites) is missing",
         [](PluginDescriptor& d) { d.kind = PLUGIN_KIND_SUPPLIES_GPS; }},
    };
    for (const auto& c : cases) {
        probe = goodRecorder();
        c.breakIt(probe);
        const navhost::DescriptorReport report = navhost::checkDescriptor(&probe, image);
        ASSERT_EQ(1u, report.problems.size()) << c.expected;
        EXPECT_EQ(0u, report.problems[0].find(c.expected)) << report.problems[0];
    }

    // Pointers that lead out of the library are not followed.
    probe = goodRecorder();
    probe.name = onHeap.c_str();
    navhost::DescriptorReport report = navhost::checkDescriptor(&probe, image);
    ASSERT_EQ(1u, report.problems.size());
    EXPECT_NE(std::string::npos, report.problems[0].find("slot 4")) << report.problems[0];
    const PluginDescriptor copy = goodRecorder();
    const std::vector<PluginDescriptor> heapCopy(1, copy);
    report = navhost::checkDescriptor(heapCopy.data(), image);
    EXPECT_EQ(nullptr, report.descriptor);
    EXPECT_FALSE(report.conforms());
    EXPECT_FALSE(navhost::checkDescriptor(nullptr, image).conforms());
}

// ---- Track read-back and picture ----

TEST(HostTrackFile, SummarizesPointsTimesAndBounds) {
    const std::string gpx =
        "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\"><trk><trkseg>\n"
        "<trkpt lat=\"51.5\" lon=\"-0.25\"><ele>10</ele>"
        "<time>2010-05-20T23:59:58Z</time></trkpt>\n"
        "<trkpt lon='-0.125' lat='51.75'><time>2010-05-21T00:00:01.500Z</time>"
        "</trkpt>\n"
        "<trkpt lat=\"51.25\" lon=\"0.5\"/>\n"
        "<trkpt lat=\"51.5\" lon=\"0.25\"><time>2010-05-21T02:00:03+02:00</time>"
        "</trkpt>\n</trkseg></trk>\n</gpx>\n";
    navhost::Track track;
    std::string error;
    ASSERT_TRUE(navhost::parseGpxTrack(gpx, track, error)) << error;
    EXPECT_TRUE(track.complete);
    const navhost::TrackSummary s = navhost::summarize(track);
    EXPECT_EQ(4u, s.points);
    EXPECT_EQ(3u, s.timedPoints);
    EXPECT_EQ(1274399998000LL, s.firstMillis);
    EXPECT_EQ("2010-05-21T00:00:03Z", navhost::formatIsoTime(s.lastMillis));
    EXPECT_EQ("0:00:05", navhost::formatDuration(s.lastMillis - s.firstMillis));
    EXPECT_EQ(51.25, s.minLatitude);
    EXPECT_EQ(51.75, s.maxLatitude);
    EXPECT_EQ(-0.25, s.minLongitude);
    EXPECT_EQ(0.5, s.maxLongitude);

    // Calendar arithmetic across a leap day and from the epoch.
    int64_t a = 0, b = 0;
    ASSERT_TRUE(navhost::parseIsoTime("2012-02-28T12:00:00Z", a));
    ASSERT_TRUE(navhost::parseIsoTime("2012-03-01T12:00:00Z", b));
    EXPECT_EQ(2 * 86400000LL, b - a);
    ASSERT_TRUE(navhost::parseIsoTime("1970-01-01T00:00:00Z", a));
    EXPECT_EQ(0, a);
    EXPECT_EQ("2010-05-20T14:03:07.250Z", navhost::formatIsoTime(1274364187250LL));

    // A track without its end, and malformed points.
    ASSERT_TRUE(navhost::parseGpxTrack(gpx.substr(0, gpx.find("</gpx>")), track, error));
    EXPECT_FALSE(track.complete);
    EXPECT_EQ(4u, track.points.size());
    EXPECT_FALSE(navhost::parseGpxTrack("<trkpt lat=\"5x\" lon=\"1\"/>", track, error));
    EXPECT_FALSE(navhost::parseGpxTrack("<trkpt lon=\"1\"/>", track, error));
    EXPECT_FALSE(navhost::parseGpxTrack(
        "<trkpt lat=\"1\" lon=\"1\"><time>2010-13-01T00:00:00Z</time></trkpt>", track, error));
}

// The numbers of the attribute NAME of the first element that has it.
std::vector<double> svgNumbers(const std::string& svg, const std::string& name) {
    std::smatch m;
    std::vector<double> numbers;
    if (!std::regex_search(svg, m, std::regex(" " + name + "=\"([^\"]*)\"")))
        return numbers;
    const std::string text = m[1];
    const std::regex number("-?[0-9]+(\\.[0-9]+)?");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number);
         it != std::sregex_iterator(); ++it)
        numbers.push_back(std::stod(it->str()));
    return numbers;
}

struct SvgText {
    double x = -1, y = -1;
    bool endsAtX = false;
    std::string content;
};

// The text element ID.
SvgText svgText(const std::string& svg, const std::string& id) {
    std::smatch m;
    SvgText t;
    if (std::regex_search(
            svg, m,
            std::regex(
                "<text id=\"" + id +
                "\" x=\"([^\"]*)\" y=\"([^\"]*)\" text-anchor=\"([a-z]*)\"[^>]*>([^<]*)<"))) {
        t.x = std::stod(m[1]);
        t.y = std::stod(m[2]);
        t.endsAtX = m[3] == "end";
        t.content = m[4];
    }
    return t;
}

TEST(HostTrackPicture, FitsTheTrackNorthUpWithLongitudesShrunkByLatitude) {
    navhost::Track track;
    for (const auto& ll :
         {std::make_pair(60.0, 10.0), std::make_pair(60.01, 10.0), std::make_pair(60.01, 10.02)}) {
        navhost::TrackPoint p;
        p.latitude = ll.first;
        p.longitude = ll.second;
        track.points.push_back(p);
    }
    navhost::SvgLayout layout;
    const std::string svg = navhost::trackSvg(track, "caption & <more>", layout);
    const std::vector<double> xy = svgNumbers(svg, "points");
    ASSERT_EQ(6u, xy.size()) << svg;
    for (size_t i = 0; i < xy.size(); i += 2) {
        EXPECT_GE(xy[i], layout.margin - 0.01);
        EXPECT_LE(xy[i], layout.width - layout.margin + 0.01);
        EXPECT_GE(xy[i + 1], layout.margin - 0.01);
        EXPECT_LE(xy[i + 1], layout.height - layout.footer + 0.01);
    }
    EXPECT_NEAR(xy[0], xy[2], 0.01) << "same longitude, same x";
    EXPECT_GT(xy[1], xy[3]) << "north is up";
    const double east = xy[4] - xy[2], north = xy[1] - xy[3];
    // 0.02 degrees of longitude at 60 degrees north are as long as about
    // 0.01 degrees of latitude; the spans then fill the height.
    EXPECT_NEAR(0.02 * std::cos(60.005 * 3.14159265358979 / 180) / 0.01, east / north, 0.002);
    EXPECT_NEAR(layout.height - layout.margin - layout.footer, north, 0.02);
    // The scale bar: a round length, drawn at the track's own scale
    // (0.01 degrees of latitude are 1112 m).
    const std::vector<double> bar = svgNumbers(svg, "d");
    ASSERT_EQ(5u, bar.size()) << svg; // M x y V y H x V y
    const SvgText barLabel = svgText(svg, "scale-label");
    EXPECT_EQ("200 m", barLabel.content);
    EXPECT_NEAR(north / 1111.95, (bar[3] - bar[0]) / 200, 0.001);
    EXPECT_NE(std::string::npos, svg.find("id=\"north\"")) << "a north arrow";

    const std::vector<double> start = svgNumbers(svg, "cx");
    ASSERT_FALSE(start.empty());
    EXPECT_NEAR(xy[0], start[0], 0.01);
    EXPECT_NE(std::string::npos, svg.find("caption &amp; &lt;more&gt;"));
    EXPECT_NE(std::string::npos, svg.find("id=\"end\""));
}

// A receiver standing still: 0.9 m by 0.6 m of scatter, ending where it
// started; then a route ending at the bottom of the drawing.
TEST(HostTrackPicture, DrawsSmallExtentsToTrueScaleWithLabelsApart) {
    navhost::Track track;
    const double metre = 1 / 111195.08, east = metre / std::cos(52 * 3.14159265358979 / 180);
    for (const auto& en : {std::make_pair(0.0, 0.0), std::make_pair(0.9, 0.6),
                           std::make_pair(0.45, 0.3), std::make_pair(0.0, 0.0)}) {
        navhost::TrackPoint p;
        p.latitude = 52 + en.second * metre;
        p.longitude = 4 + en.first * east;
        track.points.push_back(p);
    }
    navhost::SvgLayout layout;
    const std::string svg = navhost::trackSvg(track, "a long caption along the bottom", layout);
    const std::vector<double> xy = svgNumbers(svg, "points");
    ASSERT_EQ(8u, xy.size()) << svg;
    const double width = xy[2] - xy[0], height = xy[1] - xy[3];
    const std::vector<double> bar = svgNumbers(svg, "d");
    ASSERT_EQ(5u, bar.size()) << svg;
    const SvgText barLabel = svgText(svg, "scale-label");
    ASSERT_EQ(" m", barLabel.content.substr(barLabel.content.size() - 2)) << barLabel.content;
    const double pixelsPerMetre = (bar[3] - bar[0]) / std::stod(barLabel.content);
    EXPECT_NEAR(0.9 * pixelsPerMetre, width, 0.05) << "drawn to the scale bar's scale";
    EXPECT_NEAR(0.6 * pixelsPerMetre, height, 0.05);
    EXPECT_LT(width, 0.05 * layout.width) << "a scatter, not a route across the canvas";

    const SvgText start = svgText(svg, "start-label"), end = svgText(svg, "end-label");
    const SvgText caption = svgText(svg, "caption");
    ASSERT_EQ("start", start.content);
    ASSERT_EQ("end", end.content);
    EXPECT_TRUE(std::abs(start.y - end.y) >= 14 || start.endsAtX != end.endsAtX)
        << "the labels of one spot overlap:\n"
        << svg;
    EXPECT_LT(std::max(start.y, end.y) + 4, caption.y - 13) << "a label runs into the caption";

    track.points.resize(2);
    track.points[1].latitude = 51.99; // south of the start: the bottom edge
    const std::string route = navhost::trackSvg(track, "a long caption along the bottom", layout);
    EXPECT_LT(svgText(route, "end-label").y + 4, svgText(route, "caption").y - 13) << route;

    // A route arriving from the north-east: the end label's first place,
    // above and right of the marker, lies on the line, so it goes elsewhere.
    track.points[0].longitude = 4.001;
    track.points[0].latitude = 52.001;
    track.points[1].longitude = 4;
    track.points[1].latitude = 52;
    const std::string diagonal = navhost::trackSvg(track, "caption", layout);
    const std::vector<double> line = svgNumbers(diagonal, "points");
    ASSERT_EQ(4u, line.size()) << diagonal;
    const SvgText endLabel = svgText(diagonal, "end-label");
    EXPECT_FALSE(!endLabel.endsAtX && endLabel.x > line[2] && endLabel.y < line[3])
        << "the end label sits on the line:\n"
        << diagonal;
}

TEST(HostTrackFiles, FindsTheNewestTrackWrittenUnderAPrefix) {
    const std::string folder = testFolder();
    writeFile(folder + "run-old.gpx", "old");
    writeFile(folder + "other.gpx", "other");
    const auto before = navhost::listTrackFiles(folder + "run-");
    ASSERT_EQ(1u, before.size());
    EXPECT_TRUE(
        navhost::newestChangedTrack(before, navhost::listTrackFiles(folder + "run-")).empty());
    writeFile(folder + "run-new.gpx", "new");
    writeFile(folder + "run-new.txt", "not a track");
    writeFile(folder + "elsewhere.gpx", "not under the prefix");
    EXPECT_EQ("run-new.gpx",
              navhost::newestChangedTrack(before, navhost::listTrackFiles(folder + "run-"))
                  .filename()
                  .string());
    EXPECT_EQ(4u, navhost::listTrackFiles(folder).size()) << "the folder itself as the prefix";
}

// ---- navhost inspect ----

TEST(HostInspect, PrintsAConformingPlugin) {
    const ProgramResult r = runNavhost({"inspect", builtLibrary("wendmark")}, testFolder());
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("kind:      4 (receives GPS data)")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("number:    1000")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("name:      WENDMARK")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("maker:     Marvek Ltd.")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("14 PluginSetGPSData      present")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("15 PluginGetSatellites   null")) << r.out;
}

TEST(HostInspect, RefusesForeignLibrariesWithTheirExitCodes) {
    const std::string folder = testFolder();
    const std::string textFile = folder + libraryFileName("text");
    writeFile(textFile, "this is not a library\n");

    ProgramResult r = runNavhost({"inspect", folder + libraryFileName("none")}, folder);
    EXPECT_EQ(2, r.exitCode) << r.err;
    r = runNavhost({"inspect", textFile}, folder);
    EXPECT_EQ(3, r.exitCode) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find('%'))
        << "a system text's insert left unfilled: " << r.err;
    r = runNavhost({"inspect", builtLibrary("not_a_plugin")}, folder);
    EXPECT_EQ(4, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("pluginPreInitMethod")) << r.err;

#if defined(_WIN32)
    _putenv_s("SCRIPTED_PROVIDER_BROKEN", "1");
#else
    setenv("SCRIPTED_PROVIDER_BROKEN", "1", 1);
#endif
    r = runNavhost({"inspect", builtLibrary("scripted_provider")}, folder);
#if defined(_WIN32)
    _putenv_s("SCRIPTED_PROVIDER_BROKEN", "");
#else
    unsetenv("SCRIPTED_PROVIDER_BROKEN");
#endif
    EXPECT_EQ(5, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("slot 1 holds 0, expected -1")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("slot 6")) << r.err;
}

// ---- navhost record ----

class HostRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = testFolder();
        tracks = folder + "tracks";
        makeFolders(tracks);
        settings = folder + "navhost.ini";
    }

    // Runs record with the scripted provider and the settings INI.
    ProgramResult record(const std::string& ini, std::vector<std::string> extra = {},
                         bool ownProcess = false) {
        writeFile(settings, ini);
        std::vector<std::string> args = {"record", "--provider", builtLibrary("scripted_provider"),
                                         "--settings", settings, "--tracks", tracks,
                                         // a guard: no run may outlast this
                                         "--duration", "120"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runNavhost(args, folder, ownProcess);
    }

    std::vector<std::string> filesEndingWith(const std::string& end) {
        std::vector<std::string> found;
        for (const std::string& name : listFiles(tracks))
            if (name.size() > end.size() &&
                name.compare(name.size() - end.size(), end.size(), end) == 0)
                found.push_back(tracks + kPathSeparator + name);
        return found;
    }

    std::string folder, tracks, settings;
};

// "%.6f" of the single-precision value the script gives, as written.
std::string asWritten(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(static_cast<float>(value)));
    return text;
}

TEST_F(HostRecord, CarriesEveryPositionIntoACompletedTrackAndItsPicture) {
    // 30 positions, the first 3 without a fix; the end of the series ends
    // the run by itself.
    const ProgramResult r = record("; test run\n[SCRIPTED]\npositions = 30\nno_fix=3\n", {}, true);
    ASSERT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("positions 30  fix 3D  satellites 8 in view, 5 used"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("stopped:  end of the replay")) << r.out;

    const std::vector<std::string> gpx = filesEndingWith(".gpx");
    ASSERT_EQ(1u, gpx.size());
    const std::string text = readFile(gpx[0]);
    EXPECT_EQ(27u, occurrences(text, "<trkpt "));
    EXPECT_EQ(text.size() - 8, text.rfind("</gpx>\r\n")) << "the track was completed";

    // The summary: points 3 to 29 of the script.
    EXPECT_NE(std::string::npos, r.out.find("points:   27\n")) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("time:     2010-05-20T14:03:10Z to 2010-05-20T14:03:36Z (0:00:26)"))
        << r.out;
    const std::string bounds = "bounds:   lat " + asWritten(48.1 + 0.003) + " to " +
                               asWritten(48.1 + 0.029) + ", lon " + asWritten(11.5) + " to " +
                               asWritten(11.508);
    EXPECT_NE(std::string::npos, r.out.find(bounds)) << bounds << "\n" << r.out;

    // The picture beside the track, one vertex per point.
    const std::vector<std::string> svg = filesEndingWith(".svg");
    ASSERT_EQ(1u, svg.size());
    EXPECT_EQ(gpx[0].substr(0, gpx[0].size() - 4), svg[0].substr(0, svg[0].size() - 4));
    EXPECT_EQ(54u, svgNumbers(readFile(svg[0]), "points").size());

    // The settings file kept what the user wrote and gained the seeds.
    const std::string ini = readFile(settings);
    EXPECT_EQ(0u, ini.find("; test run\n[SCRIPTED]\npositions = 30\nno_fix=3\n")) << ini;
    EXPECT_NE(std::string::npos, ini.find("\nreport_end=true\n")) << ini;
    EXPECT_NE(std::string::npos, ini.find("[WENDMARK]\ntracks_path=" + tracks)) << ini;
    EXPECT_NE(std::string::npos, ini.find(tracks + kPathSeparator + "\n")) << ini;
}

TEST_F(HostRecord, EndsOnACountOrWhenPositionsStop) {
    ProgramResult r =
        record("[SCRIPTED]\nreport_end=false\npositions=50\n", {"--max-positions", "12"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stopped:  reached 12 positions")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("points:   12\n")) << r.out;

    r = record("[SCRIPTED]\nreport_end=false\npositions=5\n", {"--idle", "1"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stopped:  no new position")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("points:   5\n")) << r.out;
}

// A provider that never runs out of new positions cannot hold the run:
// the duration still ends it.
TEST_F(HostRecord, EndsOnTimeWhenTheProviderNeverRunsOut) {
    const ProgramResult r =
        record("[SCRIPTED]\nreport_end=false\npositions=2000000000\n", {"--duration", "1"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stopped:  ran for the given duration")) << r.out;
}

TEST_F(HostRecord, ReportsBadInputWithItsExitCode) {
    EXPECT_EQ(7, record("[SCRIPTED]\nfail_init=true\n").exitCode);
    EXPECT_EQ(8, record("[SCRIPTED]\nfail_start=true\n").exitCode);
    ProgramResult noFix = record("[SCRIPTED]\npositions=4\nno_fix=4\n");
    EXPECT_EQ(11, noFix.exitCode);
    EXPECT_NE(std::string::npos, noFix.err.find("none of the 4 positions had a fix")) << noFix.err;
    EXPECT_TRUE(filesEndingWith(".gpx").empty());

    ProgramResult r = record("[SCRIPTED]\n", {"--tracks", folder + "missing"});
    EXPECT_EQ(10, r.exitCode) << r.err;
    r = record("[SCRIPTED]\npositions\n");
    EXPECT_EQ(9, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("line 2")) << r.err;
    r = record("", {"--provider", builtLibrary("wendmark")});
    EXPECT_EQ(6, r.exitCode) << r.err;
    r = record("", {"--recorder", folder + libraryFileName("missing")});
    EXPECT_EQ(2, r.exitCode) << r.err;
    r = record("", {"--max-positions", "none"});
    EXPECT_EQ(1, r.exitCode) << r.err;
}

#if !defined(_WIN32)
// NAME in the bench's folder, where navhost runs over the plugins and the
// simulated driver.
std::string benchFile(const std::string& name) {
    return programFolder() + ".." + kPathSeparator + "bench" + kPathSeparator + name;
}

// Ctrl-C, and a terminal closed under the run.
TEST_F(HostRecord, CompletesTheTrackOnInterruptAndHangUp) {
    for (int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGHUP");
        for (const std::string& old : filesEndingWith(".gpx"))
            std::remove(old.c_str());
        writeFile(settings, "[SCRIPTED]\npositions=1000000\ninterval_ms=20\n");
        ChildProgram child(navhostProgram(),
                           {"record", "--provider", builtLibrary("scripted_provider"), "--settings",
                            settings, "--tracks", tracks, "--duration", "120"},
                           folder);
        ASSERT_TRUE(child.started());
        // The track file appears with the first position.
        for (int i = 0; i < 600 && filesEndingWith(".gpx").empty(); ++i)
            usleep(50000);
        usleep(300000);
        child.sendSignal(signal);
        ASSERT_EQ(0, child.wait()) << child.err();
        EXPECT_NE(std::string::npos, child.out().find("stopped:  interrupted")) << child.out();
        const std::vector<std::string> gpx = filesEndingWith(".gpx");
        ASSERT_EQ(1u, gpx.size());
        const std::string text = readFile(gpx[0]);
        EXPECT_GT(occurrences(text, "<trkpt "), 1u);
        EXPECT_EQ(text.size() - 8, text.rfind("</gpx>\r\n")) << "the track was completed";
    }
}

// The simulated driver with nothing to replay: record ends at once.
TEST(HostRecordSource, RefusesToRecordWithoutAPositionSource) {
    const std::string folder = testFolder();
    SimulatedDriver::setReplayLog("");
    const ProgramResult r = runProgram(benchFile(programFileName("navhost")),
                                       {"record", "--tracks", folder, "--duration", "30"}, folder);
    EXPECT_EQ(14, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("GPSAPI_REPLAY_LOG")) << r.err;
}

// The bench's navhost, orvane and driver replay a log of 40 one-second
// epochs. Under Wine the chain check covers the same path.
TEST_F(HostRecord, SaysSoAndFailsWhenPositionsAreLost) {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        char body[96];
        std::snprintf(body, sizeof body,
                      "GPRMC,1000%02d,A,5000.%03d,N,00500.000,E,5.0,90.0,200818,,,A", i, i);
        text += nmeaSentence(body) + "\r\n";
    }
    const std::string log = folder + "forty.nmea";
    writeFile(log, text);
    auto run = [&](const char* pace, const char* pollMs) {
        SimulatedDriver::setReplayLog(log);
        SimulatedDriver::setReplayPace(pace);
        const ProgramResult r =
            runProgram(benchFile(programFileName("navhost")),
                       {"record", "--provider", benchFile(libraryFileName("orvane")), "--recorder",
                        benchFile(libraryFileName("wendmark")), "--settings", settings, "--tracks",
                        tracks, "--poll", pollMs, "--duration", "120"},
                       folder);
        SimulatedDriver::setReplayLog("");
        SimulatedDriver::setReplayPace("");
        return r;
    };
    // 40 epochs in 0.4 s against a poll a second: most are replaced unseen.
    ProgramResult r = run("100", "1000");
    EXPECT_EQ(13, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" of the 40 the driver delivered")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stopped:  end of the replay")) << r.out;
    // Paced by the host, however slowly it polls, nothing is lost.
    r = run("host", "20");
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("points:   40\n")) << r.out;
}
#endif

} // namespace
