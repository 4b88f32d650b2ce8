// Conversions between the UTF-8 text the host keeps and prints, and the
// UTF-16 wide strings that cross the plugin boundary.
#pragma once

#include "../../harness/plugin_host.h"

#include <string>

namespace navhost {

// UTF-8 to UTF-16. False when TEXT is not well-formed UTF-8; OUT is then
// unspecified.
bool utf8ToWide(const std::string& text, WideString& out);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string wideToUtf8(const WideString& text);

// ASCII case-insensitive equality.
bool equalsIgnoringCase(const std::string& a, const std::string& b);

} // namespace navhost
