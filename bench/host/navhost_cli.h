// The navhost command line, apart from the program's entry so that tests
// can also run it inside their own process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs navhost with ARGS (without the program name); normal output goes to
// OUT, messages to ERR. Returns the exit code that "navhost --help" lists.
// Progress of "record" updates one line when OUT is std::cout on a terminal.
int navhostMain(std::vector<std::string> args, std::ostream& out, std::ostream& err);
