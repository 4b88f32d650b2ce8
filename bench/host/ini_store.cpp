#include "ini_store.h"

#include "text.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace navhost {

namespace {

const char kBlanks[] = " \t";

std::string trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(kBlanks);
    if (begin == std::string::npos)
        return std::string();
    const size_t end = s.find_last_not_of(kBlanks);
    return s.substr(begin, end - begin + 1);
}

} // namespace

bool IniStore::load(const fs::path& path, std::string& error) {
    path_ = path;
    lines_.clear();
    changed_ = false;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found)
        return true;
    if (ec) {
        error = "settings file " + path.u8string() + ": " + ec.message();
        return false;
    }
    if (fs::is_directory(status)) {
        error = "settings file " + path.u8string() + " is a folder";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string content;
    if (in)
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        error = "settings file " + path.u8string() + " cannot be read";
        return false;
    }
    return parse(content, error);
}

bool IniStore::parse(const std::string& text, std::string& error) {
    lines_.clear();
    changed_ = false;
    std::string body = text;
    byteOrderMark_ = body.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (byteOrderMark_)
        body.erase(0, 3);
    const size_t firstEnd = body.find('\n');
    if (firstEnd != std::string::npos)
        lineEnd_ = firstEnd > 0 && body[firstEnd - 1] == '\r' ? "\r\n" : "\n";

    const std::string where = "settings file " + path_.u8string() + ", line ";
    std::string section;
    size_t start = 0;
    for (int number = 1; start < body.size(); ++number) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        std::string raw = body.substr(start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();

        Line line;
        std::string problem;
        if (!parseLine(raw, section, line, problem)) {
            error = where + std::to_string(number) + ": " + problem;
            return false;
        }
        lines_.push_back(line);
    }
    return true;
}

bool IniStore::parseLine(const std::string& raw, std::string& section, Line& line,
                         std::string& problem) {
    WideString unused;
    if (!utf8ToWide(raw, unused)) {
        problem = "not UTF-8 text";
        return false;
    }
    line = Line{Kind::Other, raw, section, "", ""};
    const std::string content = trim(raw);
    if (content.empty() || content[0] == ';' || content[0] == '#')
        return true; // blank or comment
    if (content[0] == '[') {
        if (content.back() != ']' || trim(content.substr(1, content.size() - 2)).empty()) {
            problem = "a section line is \"[NAME]\"";
            return false;
        }
        section = trim(content.substr(1, content.size() - 2));
        line.kind = Kind::Section;
        line.section = section;
        return true;
    }
    const size_t equals = content.find('=');
    if (equals == std::string::npos || trim(content.substr(0, equals)).empty()) {
        problem = "expected \"key=value\", found \"" + content + "\"";
        return false;
    }
    if (section.empty()) {
        problem = "setting outside any [SECTION]";
        return false;
    }
    line.kind = Kind::Entry;
    line.key = trim(content.substr(0, equals));
    line.value = trim(content.substr(equals + 1));
    return true;
}

long IniStore::find(const std::string& section, const std::string& key) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Kind::Entry && equalsIgnoringCase(line.section, section) &&
            equalsIgnoringCase(line.key, key))
            return static_cast<long>(i);
    }
    return -1;
}

bool IniStore::get(const std::string& section, const std::string& key, std::string& value) const {
    const long i = find(section, key);
    if (i < 0)
        return false;
    value = lines_[static_cast<size_t>(i)].value;
    return true;
}

void IniStore::set(const std::string& section, const std::string& key, const std::string& value) {
    const long found = find(section, key);
    if (found >= 0) {
        Line& line = lines_[static_cast<size_t>(found)];
        if (line.value != value) {
            line.value = value;
            line.raw = line.key + "=" + value;
            changed_ = true;
        }
        return;
    }
    changed_ = true;
    Line entry{Kind::Entry, key + "=" + value, section, key, value};

    // After the last entry of the section, or right after its header.
    long after = -1;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind != Kind::Other && equalsIgnoringCase(line.section, section)) {
            entry.section = line.section;
            after = static_cast<long>(i);
        }
    }
    if (after >= 0) {
        lines_.insert(lines_.begin() + after + 1, entry);
        return;
    }
    if (!lines_.empty() && !trim(lines_.back().raw).empty())
        lines_.push_back(Line{Kind::Other, "", "", "", ""});
    lines_.push_back(Line{Kind::Section, "[" + section + "]", section, "", ""});
    lines_.push_back(entry);
}

std::string IniStore::text() const {
    std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
    for (const Line& line : lines_)
        out += line.raw + lineEnd_;
    return out;
}

bool IniStore::save(std::string& error) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text();
    out.close();
    if (!out) {
        error = "settings file " + path_.u8string() + " cannot be written";
        return false;
    }
    changed_ = false;
    return true;
}

} // namespace navhost
