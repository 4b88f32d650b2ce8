#include "child_program.h"

#include "../../harness/test_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
std::wstring widen(const std::string& s) {
    std::wstring out;
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
    return out;
}

// One argument quoted as the C runtime splits a command line.
std::wstring quoted(const std::string& arg) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : widen(arg)) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

HANDLE outputFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

} // namespace

ChildProgram::ChildProgram(const std::string& program, const std::vector<std::string>& args,
                           const std::string& folder)
    : folder_(folder) {
#if defined(_WIN32)
    std::wstring commandLine = quoted(program);
    for (const std::string& arg : args)
        commandLine += L" " + quoted(arg);
    HANDLE out = outputFile(folder + "stdout.txt");
    HANDLE err = outputFile(folder + "stderr.txt");
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info;
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                       widen(folder).c_str(), &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
    }
    CloseHandle(out);
    CloseHandle(err);
#else
    const std::string outPath = folder + "stdout.txt", errPath = folder + "stderr.txt";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(folder.c_str()) != 0)
            _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
#endif
}

ChildProgram::~ChildProgram() {
    wait();
#if defined(_WIN32)
    if (process_ != nullptr)
        CloseHandle(process_);
#endif
}

bool ChildProgram::started() const {
#if defined(_WIN32)
    return process_ != nullptr;
#else
    return pid_ > 0;
#endif
}

void ChildProgram::sendSignal(int number) {
#if defined(_WIN32)
    (void)number;
#else
    if (pid_ > 0 && !waited_)
        ::kill(pid_, number);
#endif
}

void ChildProgram::kill() {
    if (!started() || waited_)
        return;
#if defined(_WIN32)
    TerminateProcess(process_, 137);
#else
    ::kill(pid_, SIGKILL);
#endif
}

int ChildProgram::wait() {
    if (waited_ || !started())
        return exitCode_;
    waited_ = true;
#if defined(_WIN32)
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process_, &code))
        exitCode_ = static_cast<int>(code);
#else
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0)
        if (errno != EINTR)
            return exitCode_;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return exitCode_;
}

namespace {

// The text of an output file with Windows line ends as plain "\n".
std::string outputText(const std::string& path) {
    std::string text = readFile(path);
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n')
            plain += text[i];
    return plain;
}

} // namespace

std::string ChildProgram::out() const {
    return outputText(folder_ + "stdout.txt");
}

std::string ChildProgram::err() const {
    return outputText(folder_ + "stderr.txt");
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder) {
    ChildProgram child(program, args, folder);
    const int code = child.wait();
    return ProgramResult{code, child.out(), child.err()};
}
