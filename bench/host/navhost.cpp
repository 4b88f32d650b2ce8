// navhost: a reference host for the navigation plugins.
#include "navhost_cli.h"
#include "text.h"

#include <iostream>

#if defined(_WIN32)
#include <windows.h>
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args;
#if defined(_WIN32)
    // The wide command line, so that paths outside the code page survive.
    (void)argc, (void)argv;
    SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide != nullptr && i < count; ++i)
        args.push_back(navhost::wideToUtf8(WideString(wide[i])));
    LocalFree(wide);
#else
    args.assign(argv + 1, argv + argc);
#endif
    return navhostMain(args, std::cout, std::cerr);
}
