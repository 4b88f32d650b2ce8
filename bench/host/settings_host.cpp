#include "settings_host.h"

namespace navhost {

namespace {

// The key or value a plugin passed, as UTF-8; false for a null pointer.
bool fromPlugin(const WideChar* s, std::string& out) {
    if (s == nullptr)
        return false;
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    out = wideToUtf8(WideString(s, n));
    return true;
}

// A key the INI file can hold: not empty, one line, no '=', and not read
// back as a comment or a section.
bool storableKey(const std::string& key) {
    return !key.empty() && key.find_first_of("=\r\n") == std::string::npos &&
           key.find_first_of("[;# \t") != 0 && key.find_last_of(" \t") != key.size() - 1;
}

} // namespace

HostContext* SettingsHost::contextFor(const std::string& section) {
    sections_.push_back(section);
    return addContext(sections_.size() - 1);
}

int32_t SettingsHost::getSetting(const Caller& from, const WideChar* key, const WideChar** value) {
    std::string name, text;
    if (value == nullptr || !fromPlugin(key, name))
        return 0;
    asked_.insert(std::make_pair(sections_[from.client], name));
    if (!store_.get(sections_[from.client], name, text))
        return 0;
    WideString wide;
    if (!utf8ToWide(text, wide))
        return 0;
    *value = handOut(wide);
    return 1;
}

void SettingsHost::setSetting(const Caller& from, const WideChar* key, const WideChar* value) {
    std::string name, text;
    if (!fromPlugin(key, name) || !storableKey(name) || !fromPlugin(value, text))
        return;
    // A value is one line of the file.
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    store_.set(sections_[from.client], name, text);
}

bool SettingsHost::asked(const std::string& section, const std::string& key) const {
    return asked_.count(std::make_pair(section, key)) > 0;
}

} // namespace navhost
