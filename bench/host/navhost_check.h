// The navhost "check" command: drives any plugin through every order of
// calls the contract allows and reports each contract violation.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace navhost {

// Its section of navhost --help, exit codes included.
extern const char kCheckHelpText[];

int checkCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace navhost
