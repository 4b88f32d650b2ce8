// The navhost "record" command: runs a GPS provider and a track recorder
// together, carrying every position from one to the other, and reports on
// the track that comes out.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace navhost {

int recordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace navhost
