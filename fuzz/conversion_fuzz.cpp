// Fuzz target: the provider's conversion, compiled in, fed arbitrary
// 344-byte readings (any valid bits, any counts, any values) followed by
// fetches through slots 14 and 15 as the host makes them. A reference model
// of the conversion rules predicts every fetch byte for byte: the result,
// the record, the count and the satellites; nothing may be written past
// the count, and never past the host's 24 records.
#include "../provider/conversion.h"
#include "../provider/handover.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "conversion model mismatch: %s %s\n", what, detail.c_str());
    std::abort();
}

unsigned long long readingsConverted, positionsFetched, setsFetched;

// The conversion rules, written out plainly. Counts beyond the driver's 12
// array entries, a "negative" one included, are taken as 12.
struct Model {
    GpsRecord working;
    uint8_t usedPrns[SATELLITE_TABLE_SIZE];
    uint32_t usedCount;
    SatelliteRecord table[SATELLITE_TABLE_SIZE];
    uint32_t inView;
    GpsRecord published;
    SatelliteRecord publishedTable[SATELLITE_TABLE_SIZE];
    uint32_t publishedCount;
    bool positionReady, satellitesReady;

    Model() { std::memset(this, 0, sizeof *this); }

    static uint32_t clip(uint32_t n) { return n > GPS_MAX_SATELLITES ? GPS_MAX_SATELLITES : n; }

    void convert(const GPS_POSITION& p) {
        const uint32_t f = p.dwValidFields;
        working.fixStatus = p.FixType == 1 ? 2 : p.FixType == 2 ? 3 : 0;
        if (f & 0x2)
            working.latitude = static_cast<float>(p.dblLatitude);
        if (f & 0x4)
            working.longitude = static_cast<float>(p.dblLongitude);
        if (f & 0x80)
            working.altitude = p.flAltitudeWRTEllipsoid;
        else if (f & 0x40)
            working.altitude = p.flAltitudeWRTSeaLevel;
        if (f & 0x8) {
            float knotsToKmh;
            const uint32_t bits = 0x3FED0E56u;
            std::memcpy(&knotsToKmh, &bits, sizeof knotsToKmh);
            working.speed = p.flSpeed * knotsToKmh;
        }
        if (f & 0x10)
            working.heading = p.flHeading;
        if (f & 0x100)
            working.pdop = p.flPositionDilutionOfPrecision;
        if (f & 0x200)
            working.hdop = p.flHorizontalDilutionOfPrecision;
        if (f & 0x400)
            working.vdop = p.flVerticalDilutionOfPrecision;
        if (f & 0x1) {
            working.year = p.stUTCTime.wYear;
            working.day = static_cast<uint8_t>(p.stUTCTime.wDay);
            working.month = static_cast<uint8_t>(p.stUTCTime.wMonth);
            working.hour = static_cast<uint8_t>(p.stUTCTime.wHour);
            working.minute = static_cast<uint8_t>(p.stUTCTime.wMinute);
            working.second = static_cast<uint8_t>(p.stUTCTime.wSecond);
            working.milliseconds = p.stUTCTime.wMilliseconds;
        }
        if (f & 0x7FF) {
            published = working;
            positionReady = true;
        }
        if ((f & 0x1800) == 0x1800) {
            usedCount = clip(p.dwSatelliteCount);
            for (uint32_t i = 0; i < usedCount; ++i)
                usedPrns[i] = static_cast<uint8_t>(p.rgdwSatellitesUsedPRNs[i]);
        }
        if ((f & 0x6000) == 0x6000) {
            inView = clip(p.dwSatellitesInView);
            for (uint32_t i = 0; i < inView; ++i) {
                table[i].used = 0;
                table[i].prn = static_cast<uint8_t>(p.rgdwSatellitesInViewPRNs[i]);
                for (uint32_t u = 0; u < usedCount; ++u) {
                    if (usedPrns[u] == table[i].prn) {
                        table[i].used = 1;
                        break;
                    }
                }
            }
        }
        for (uint32_t i = 0; i < inView; ++i) {
            if (f & 0x8000)
                table[i].elevation = p.rgdwSatellitesInViewElevation[i];
            if (f & 0x10000)
                table[i].azimuth = static_cast<uint16_t>(p.rgdwSatellitesInViewAzimuth[i]);
            if (f & 0x20000)
                table[i].snr = p.rgdwSatellitesInViewSignalToNoiseRatio[i];
        }
        if (f & 0x3F800) {
            std::memcpy(publishedTable, table, sizeof table);
            publishedCount = inView;
            satellitesReady = true;
        }
    }
};

Model model;

void convert(const GPS_POSITION& reading) {
    std::memcpy(&positionBuffer, &reading, sizeof reading);
    convertPosition();
    model.convert(reading);
    ++readingsConverted;
}

void fetchPosition() {
    GpsRecord got;
    std::memset(&got, 0xA5, sizeof got);
    const GpsRecord untouched = got;
    const int32_t result = PluginGetPosition(&got);
    if (result != (model.positionReady ? 1 : 0))
        fail("slot 14 result", std::to_string(result));
    if (model.positionReady && std::memcmp(&got, &model.published, sizeof got) != 0)
        fail("slot 14 record");
    if (!model.positionReady && std::memcmp(&got, &untouched, sizeof got) != 0)
        fail("slot 14 wrote without a new position");
    positionsFetched += result;
    model.positionReady = false;
}

void fetchSatellites() {
    // Exactly the room the contract asks of a host, on the heap so that a
    // write past it is caught.
    std::vector<SatelliteRecord> got(SATELLITE_TABLE_SIZE);
    std::memset(got.data(), 0x5A, got.size() * sizeof got[0]);
    const std::vector<SatelliteRecord> untouched = got;
    int32_t count = -7;
    const int32_t result = PluginGetSatellites(got.data(), &count);
    if (result != (model.satellitesReady ? 1 : 0))
        fail("slot 15 result", std::to_string(result));
    const uint32_t n = model.satellitesReady ? model.publishedCount : 0;
    if (result == 1 && count != static_cast<int32_t>(n))
        fail("slot 15 count", std::to_string(count));
    if (result == 0 && count != -7)
        fail("slot 15 wrote a count without a new set");
    if (n > 0 && std::memcmp(got.data(), model.publishedTable, n * sizeof got[0]) != 0)
        fail("slot 15 satellites");
    if (std::memcmp(got.data() + n, untouched.data() + n, (got.size() - n) * sizeof got[0]) != 0)
        fail("slot 15 wrote past the count");
    setsFetched += result;
    model.satellitesReady = false;
}

// A reading from the input: any 344 bytes, or one shaped to reach the
// interesting rules more often (a few valid bits, small counts).
GPS_POSITION consumeReading(FuzzedDataProvider& in) {
    GPS_POSITION p;
    std::memset(&p, 0, sizeof p);
    in.ConsumeData(&p, sizeof p);
    if (in.ConsumeBool()) {
        p.dwValidFields &= 0x3FFFF;
        p.FixType %= 4;
        p.dwSatelliteCount %= 16;
        p.dwSatellitesInView %= 16;
        for (uint32_t& prn : p.rgdwSatellitesUsedPRNs)
            prn %= 8;
        for (uint32_t& prn : p.rgdwSatellitesInViewPRNs)
            prn %= 8;
    }
    return p;
}

// Brings the conversion to a known state, the same as the model's fresh
// one: every field and every table entry the driver can reach written with
// zeros, the counts back to 0, and both hand-overs taken.
void resetConversion() {
    GPS_POSITION zero;
    std::memset(&zero, 0, sizeof zero);
    zero.dwValidFields = 0x3FFFF;
    zero.dwSatellitesInView = GPS_MAX_SATELLITES;
    std::memcpy(&positionBuffer, &zero, sizeof zero);
    convertPosition();
    zero.dwSatellitesInView = 0;
    std::memcpy(&positionBuffer, &zero, sizeof zero);
    convertPosition();
    GpsRecord r;
    PluginGetPosition(&r);
    SatelliteRecord s[SATELLITE_TABLE_SIZE];
    int32_t count;
    PluginGetSatellites(s, &count);
    model = Model();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit([] {
        std::printf("conversion: %llu readings converted, %llu positions and %llu satellite sets "
                    "fetched and checked\n",
                    readingsConverted, positionsFetched, setsFetched);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    resetConversion();
    for (int step = 0; step < 32 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            fetchPosition();
            break;
        case 1:
            fetchSatellites();
            break;
        default:
            convert(consumeReading(in));
        }
    }
    fetchPosition();
    fetchSatellites();
    return 0;
}
