// A settings store kept in a human-editable INI file: "[SECTION]" lines,
// "key=value" lines, blank lines and comments starting with ';' or '#'.
// Section names and keys compare without regard to ASCII case; values are
// UTF-8 and lose surrounding blanks. Saving keeps the file's comments, order
// and line ends; a key that is new is added at the end of its section.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace navhost {

class IniStore {
  public:
    // Reads PATH into the store; a file that does not exist gives an empty
    // store (and is created by the first save). False, with a message that
    // names the file and the line, when the file cannot be read or is not
    // a well-formed UTF-8 INI text.
    bool load(const std::filesystem::path& path, std::string& error);
    // Reads TEXT as the content of a file at PATH.
    bool parse(const std::string& text, std::string& error);

    // The value of KEY in SECTION, if the store has one.
    bool get(const std::string& section, const std::string& key, std::string& value) const;
    void set(const std::string& section, const std::string& key, const std::string& value);

    // True when set changed something since the last load or save.
    bool changed() const { return changed_; }
    // Writes the store back to the file it was loaded from.
    bool save(std::string& error);
    // The file's content as save writes it.
    std::string text() const;
    const std::filesystem::path& path() const { return path_; }

  private:
    enum class Kind { Other, Section, Entry };
    struct Line {
        Kind kind;
        std::string raw;     // the line as read, for lines not changed since
        std::string section; // the section the line belongs to
        std::string key, value;
    };

    // Reads RAW, one line of the file in SECTION (which a section line
    // changes), into LINE; false, with the reason in PROBLEM, when it is
    // malformed.
    static bool parseLine(const std::string& raw, std::string& section, Line& line,
                          std::string& problem);
    // Index of the entry line of KEY in SECTION, or -1.
    long find(const std::string& section, const std::string& key) const;

    std::filesystem::path path_;
    std::vector<Line> lines_;
    std::string lineEnd_ =
#if defined(_WIN32)
        "\r\n";
#else
        "\n";
#endif
    bool byteOrderMark_ = false;
    bool changed_ = false;
};

} // namespace navhost
