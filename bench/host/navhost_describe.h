// The navhost "inspect" command: loads one plugin library, checks its
// descriptor and prints what it says.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace navhost {

int inspectCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace navhost
