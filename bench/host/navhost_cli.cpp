// The navhost command line: the help and the choice of command. "inspect"
// loads one plugin library and checks its descriptor; "check" drives a
// plugin through the orders of calls the contract allows; "record" runs a
// GPS provider and a track recorder together and reports on the track that
// comes out. Each command lives in a file of its own.
#include "navhost_cli.h"

#include "navhost_check.h"
#include "navhost_common.h"
#include "navhost_describe.h"
#include "navhost_record.h"

#include <exception>

using namespace navhost;

namespace {

const char kHelpText[] =
    "\n"
    "inspect PLUGIN\n"
    "    Loads the plugin library PLUGIN, calls its pluginPreInitMethod and checks\n"
    "    the descriptor it returns; prints kind, number, name, maker and which\n"
    "    entries are present.\n"
    "\n"
    "record [options]\n"
    "    Loads a GPS provider and a track recorder, starts both, hands every new\n"
    "    position of the provider to the recorder and shows the progress. The\n"
    "    run ends when the simulated driver reports the end of its replay (its\n"
    "    SimGpsReplayFinished entry, looked up in the loaded GPSAPI library and\n"
    "    then in the provider itself), when an end condition below is met, or on\n"
    "    Ctrl-C. Both plugins are then stopped, which completes the track, and\n"
    "    navhost prints where the track is, its points, time span and bounding\n"
    "    box, and writes a picture of it beside it (same name, .svg).\n"
    "\n"
    "    --provider PATH      provider library (default: orvane beside navhost)\n"
    "    --recorder PATH      recorder library (default: wendmark beside navhost)\n"
    "    --settings FILE      INI settings file, one [SECTION] per plugin name\n"
    "                         (default: navhost.ini in the current folder; created\n"
    "                         when missing, and the plugins add their defaults)\n"
    "    --tracks FOLDER      folder for the track files; stored as the recorder's\n"
    "                         tracks_path (default: the tracks_path already in the\n"
    "                         settings file, else the current folder)\n"
    "    --max-positions N    end after N positions\n"
    "    --idle SECONDS       end when no new position came for SECONDS\n"
    "    --duration SECONDS   end after SECONDS\n"
    "    --poll MS            poll the provider every MS milliseconds (default 5)\n"
    "    --satellites FILE    write each satellite table the provider hands out,\n"
    "                         one line each, after the time of the latest position\n"
    "    --no-track           do not look for a track file afterwards (a recorder\n"
    "                         that does not ask for tracks_path is not checked\n"
    "                         either: it writes no GPX tracks)\n"
    "\n"
    "environment (read by the simulated GPS driver, GPSAPI beside navhost)\n"
    "    GPSAPI_REPLAY_LOG    the NMEA 0183 log to replay, the position source;\n"
    "                         without it record refuses to start (exit 14)\n"
    "    GPSAPI_REPLAY_PACE   unset or 1: the log's own rate; N: N times faster;\n"
    "                         host: each position waits until navhost has\n"
    "                         received it\n"
    "\n"
    "exit codes\n"
    "    0   success\n"
    "    1   bad command line\n"
    "    2   a plugin library does not exist\n"
    "    3   a plugin library cannot be loaded (not a library, wrong machine, ...)\n"
    "    4   the library does not export pluginPreInitMethod\n"
    "    5   the descriptor breaks the plugin contract\n"
    "    6   the plugin's kind does not fit its role (provider 16, recorder 4)\n"
    "    7   PluginInit failed\n"
    "    8   PluginStart failed\n"
    "    9   the settings file cannot be read (or is not a valid INI file)\n"
    "    10  the tracks folder does not exist\n"
    "    11  the run ended without a track file (the message says why)\n"
    "    12  the track file cannot be read back, or its picture not written\n"
    "    13  positions were lost: at the end of the replay navhost had received\n"
    "        fewer (or more) positions than the simulated driver delivered\n"
    "    14  no position source: the simulated driver has no GPSAPI_REPLAY_LOG\n"
    "    125 an unexpected failure of navhost itself\n";

} // namespace

int navhostMain(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << kUsageText;
            return kUsage;
        }
        const std::string command = args[0];
        args.erase(args.begin());
        if (command == "--help" || command == "-h" || command == "help") {
            out << kUsageText << kHelpText << kCheckHelpText;
            return kOk;
        }
        if (command == "inspect")
            return inspectCommand(args, out, err);
        if (command == "record")
            return recordCommand(args, out, err);
        if (command == "check")
            return checkCommand(args, out, err);
        err << "navhost: unknown command \"" << command << "\"\n" << kUsageText;
        return kUsage;
    } catch (const std::exception& e) {
        err << "navhost: " << e.what() << "\n";
    } catch (...) {
        err << "navhost: unexpected failure\n";
    }
    return kUnexpected;
}
