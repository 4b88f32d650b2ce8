/* The track recorder plugin: while started, every position the host
 * delivers with a usable fix becomes one track point of a GPX 1.1 file, one
 * file per recording period, named after the local time of its first point.
 * All work runs on the host's calling thread; all state is static. */
#include "../contract/plugin.h"
#include "../internal/settings.h"
#include "../internal/wide_string.h"
#include "../platform/platform.h"
#include "gpx_text.h"
#include "track_file.h"
#include "track_header.h"
#include "track_repair.h"

#include <string.h>

namespace {

const WideChar kName[] = {'W', 'E', 'N', 'D', 'M', 'A', 'R', 'K', 0};
const WideChar kMaker[] = {'M', 'a', 'r', 'v', 'e', 'k', ' ', 'L', 't', 'd', '.', 0};
const WideChar kTracksPathKey[] = {'t', 'r', 'a', 'c', 'k', 's', '_', 'p', 'a', 't', 'h', 0};

/* The folder: at most 254 characters and the terminator. */
const size_t kFolderCapacity = 255;
const size_t kFileNameMax = TRACK_FILE_NAME_MAX;
CONTRACT_STATIC_ASSERT(kFolderCapacity + kFileNameMax + 1 <= TRACK_PATH_MAX, path_fits);

/* A period whose name is taken moves on a second at a time, this often. */
const int kNameTries = 60;

PluginDescriptor descriptor;
HostEntries hostEntries;

bool recording;
WideChar tracksFolder[kFolderCapacity] = {'C', ':', '\\', 0};
LocalTime createdAt;

/* Creates the file named after createdAt, with its header; false when the
 * file cannot be created, *nameTaken telling whether the name exists. */
bool createTrackFile(bool* nameTaken) {
    char name[kFileNameMax];
    const size_t nameLength = static_cast<size_t>(appendTrackFileName(name, createdAt) - name);

    /* The folder is a plain prefix; the buffer always has room for the
     * longest folder and name, so the name is never cut. */
    WideChar path[kFolderCapacity + kFileNameMax + 1];
    size_t n = wideCopyBounded(path, kFolderCapacity, tracksFolder);
    for (size_t i = 0; i < nameLength; ++i)
        path[n++] = static_cast<WideChar>(name[i]);
    path[n] = 0;

    char header[TRACK_HEADER_MAX];
    return trackFileCreate(path, header, buildTrackHeader(header, createdAt), nameTaken);
}

/* Opens the period's file, named after the local time now. An existing
 * file is never replaced: while the name is taken (a quick restart, another
 * host, the hour repeated when daylight saving time ends), the period takes
 * the next second, in its name and its header alike. */
bool openTrackFile() {
    platformLocalTime(&createdAt);
    for (int tries = 0; tries < kNameTries; ++tries) {
        bool nameTaken = false;
        if (createTrackFile(&nameTaken))
            return true;
        if (!nameTaken)
            return false;
        addOneSecond(&createdAt);
    }
    return false;
}

/* Longest point line: the literal text, four numbers and the time. */
const size_t kPointLineMax = 128 + 4 * GPX_FIXED6_MAX + 6 * GPX_INT_MAX;

CONTRACT_STATIC_ASSERT(kPointLineMax <= TRACK_LINE_MAX, line_fits);

/* The point time's text up to the seconds, "YYYY-MM-DDThh:mm:", which
 * changes once a minute, and the fields it was made from: the year, and
 * day, month, hour and minute as the record holds them, side by side. */
struct MinuteText {
    int32_t year;
    uint32_t dayToMinute;
    size_t length;
    char text[5 * GPX_INT_MAX + 5];
};
/* All fields 0 to begin with, and the text that goes with them. */
MinuteText minuteText = {0, 0, 17, "0000-00-00T00:00:"};
CONTRACT_STATIC_ASSERT(offsetof(GpsRecord, minute) == offsetof(GpsRecord, day) + 3, day_to_minute);

/* The point's "YYYY-MM-DDThh:mm:ss". */
char* appendPointTime(char* out, const GpsRecord& r) {
    MinuteText& m = minuteText;
    uint32_t dayToMinute;
    memcpy(&dayToMinute, &r.day, sizeof dayToMinute);
    if (dayToMinute != m.dayToMinute || r.year != m.year) {
        char* end = appendDateTime(m.text, r.year, r.month, r.day, r.hour, r.minute, 0, "--T::");
        m.length = static_cast<size_t>(end - 2 - m.text);
        m.year = r.year;
        m.dayToMinute = dayToMinute;
    }
    /* The usual four-digit year: a copy of known size, which compiles to a
     * few moves instead of a call. */
    if (m.length == 17) {
        memcpy(out, m.text, 17);
        out += 17;
    } else {
        memcpy(out, m.text, m.length);
        out += m.length;
    }
    return appendInt(out, r.second, 2);
}

/* Builds the point's line at OUT, the file's line area, and writes it. */
void writeTrackPoint(char* out, const GpsRecord& r) {
    out = APPEND_LITERAL(out, "<trkpt lon=\"");
    out = appendFixed6(out, r.longitude);
    out = APPEND_LITERAL(out, "\" lat=\"");
    out = appendFixed6(out, r.latitude);
    out = APPEND_LITERAL(out, "\"><time>");
    out = appendPointTime(out, r);
    out = APPEND_LITERAL(out, "Z</time><type>MWP</type><ele>");
    out = appendFixed6(out, r.altitude);
    out = APPEND_LITERAL(out, "</ele><hdop>");
    out = appendFixed6(out, r.hdop);
    out = APPEND_LITERAL(out, "</hdop></trkpt>\r\n");
    trackFileCommitLine(out);
}

/* A record is usable when it has a fix and every value the point prints is
 * a number: "nan" in a file makes GPX readers reject the whole track. */
bool isUsable(const GpsRecord* r) {
    return r != 0 && r->fixStatus != 0 && isFiniteFloat(r->longitude) &&
           isFiniteFloat(r->latitude) && isFiniteFloat(r->altitude) && isFiniteFloat(r->hdop);
}

int32_t PLUGIN_CALL PluginInit(HostContext* context) {
    takeHostEntries(&hostEntries, context);
    const WideChar* value = readOrSeedSetting(&hostEntries, context, kTracksPathKey, tracksFolder);
    if (value != 0)
        wideCopyBounded(tracksFolder, kFolderCapacity, value);
    /* Tracks a power cut left torn are mended before any is written. */
    repairTracks(tracksFolder);
    return 1;
}

int32_t PLUGIN_CALL PluginStart() {
    recording = true;
    return 1;
}

void PLUGIN_CALL PluginSetGPSData(const GpsRecord* record) {
    if (!recording)
        return;
    /* The period's first usable record opens its file. On failure the
     * record is dropped; the next usable one tries again under a name taken
     * from the clock then. Each point is written, the file complete, when
     * this returns; every call, with a fix or not, flushes what has waited
     * 5 s. */
    if (isUsable(record)) {
        char* line = trackFileLine();
        if (line == 0) {
            if (!openTrackFile())
                return;
            line = trackFileLine();
        }
        writeTrackPoint(line, *record);
    }
    trackFileCallEnds();
}

int32_t PLUGIN_CALL PluginStop() {
    if (recording) {
        trackFileClose();
        recording = false;
    }
    return 1;
}

/* DeInit ends the period too: no file stays open past it, and nothing is
 * recorded again before the next Start. */
int32_t PLUGIN_CALL PluginDeInit() {
    if (recording) {
        trackFileClose();
        recording = false;
    }
    return 1;
}

} // namespace

PLUGIN_EXPORT PluginDescriptor* PLUGIN_CALL pluginPreInitMethod(void) {
    descriptor.interfaceVersion = PLUGIN_INTERFACE_VERSION;
    descriptor.reserved1 = -1;
    descriptor.kind = PLUGIN_KIND_RECEIVES_GPS;
    descriptor.number = 1000;
    descriptor.name = kName;
    descriptor.maker = kMaker;
    descriptor.makerAgain = kMaker;
    descriptor.reserved7 = 0;
    descriptor.init = PluginInit;
    descriptor.deInit = PluginDeInit;
    descriptor.start = PluginStart;
    descriptor.stop = PluginStop;
    descriptor.unused12 = 0;
    descriptor.unused13 = 0;
    descriptor.gpsData.setGPSData = PluginSetGPSData;
    return &descriptor;
}
