// File helpers for tests that read what the plugins wrote.
#pragma once

#include <string>
#include <vector>

// A fresh, empty folder NAME in the folder UNDER beside the program, with a
// trailing separator in the system's own style.
std::string freshFolder(const std::string& name, const char* under = "test-output");
// The bundled test data NAME ("nmea", "arm") copied beside the test
// program, with a trailing separator.
std::string testDataFolder(const std::string& name);
// Names of the files in FOLDER, sorted.
std::vector<std::string> listFiles(const std::string& folder);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Creates PATH and every folder above it.
void makeFolders(const std::string& path);
