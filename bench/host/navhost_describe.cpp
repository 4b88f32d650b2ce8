// navhost inspect PLUGIN: loads one plugin library and checks its
// descriptor.
#include "navhost_describe.h"

#include "navhost_common.h"

namespace fs = std::filesystem;

namespace navhost {

int inspectCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) {
        err << kUsageText;
        return kUsage;
    }
    PluginModule module;
    DescriptorReport report;
    const int code = loadPlugin(module, fs::u8path(args[0]), report, err);
    if (code != kOk && code != kBadDescriptor)
        return code;
    out << "library:   " << module.path().u8string() << "\n" << describeDescriptor(report);
    if (code == kOk)
        out << "descriptor conforms to the plugin contract\n";
    return code;
}

} // namespace navhost
