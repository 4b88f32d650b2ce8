// Runs a program built beside the tests as a child process, with its
// standard output and error captured in files, as a user runs it.
#pragma once

#include <string>
#include <vector>

class ChildProgram {
  public:
    // Starts PROGRAM (a path) with ARGS in the folder FOLDER, which also
    // receives its output as stdout.txt and stderr.txt.
    ChildProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::string& folder);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool started() const;
    // Sends signal NUMBER (POSIX only): SIGINT for a Ctrl-C.
    void sendSignal(int number);
    // Ends the process at once, as a crash does: SIGKILL, TerminateProcess.
    void kill();
    // Waits for the end and returns the exit code (-1 when not started or
    // ended by a signal).
    int wait();
    // What the program wrote, with CR LF line ends read as LF.
    std::string out() const;
    std::string err() const;

  private:
    std::string folder_;
    int exitCode_ = -1;
    bool waited_ = false;
#if defined(_WIN32)
    void* process_ = nullptr;
#else
    int pid_ = -1;
#endif
};

struct ProgramResult {
    int exitCode;
    std::string out, err;
};

// Runs the program to its end.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder);
