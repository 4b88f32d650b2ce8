// NMEA sentences for tests that write logs or feed the parser.
#pragma once

#include <cstdio>
#include <string>

// "$BODY*hh" with the checksum the standard defines: the exclusive or of
// every character of BODY.
inline std::string nmeaSentence(const std::string& body) {
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail;
}
