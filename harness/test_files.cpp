#include "test_files.h"

#include "plugin_library.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string freshFolder(const std::string& name, const char* under) {
    fs::path folder = fs::path(programFolder()) / under / name;
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder);
    std::string s = folder.string();
#if defined(_WIN32)
    std::replace(s.begin(), s.end(), '/', '\\');
#endif
    return s + kPathSeparator;
}

std::string testDataFolder(const std::string& name) {
    return programFolder() + "test-data" + kPathSeparator + name + kPathSeparator;
}

std::vector<std::string> listFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

void makeFolders(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}
