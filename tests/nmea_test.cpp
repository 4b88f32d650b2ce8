// The simulated driver's NMEA parser and epoch assembly, on sentences taken
// from recorded receiver logs and on damaged or made-up ones.
#include "../bench/gpsapi/epoch.h"
#include "../bench/gpsapi/nmea.h"
#include "support/nmea_sentence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using nmea::Result;

Result parse(const std::string& line, nmea::Sentence* s = nullptr) {
    nmea::Sentence ignored;
    return nmea::parse(line.data(), line.size(), s != nullptr ? s : &ignored);
}

nmea::Sentence parsed(const std::string& line) {
    nmea::Sentence s;
    EXPECT_EQ(Result::kParsed, parse(line, &s)) << line;
    return s;
}

// Feeds LINES to ASSEMBLER and returns the readings of every epoch.
std::vector<GPS_POSITION> epochs(const std::vector<std::string>& lines,
                                 nmea::EpochAssembler* assembler) {
    std::vector<GPS_POSITION> out;
    GPS_POSITION r;
    nmea::Sentence s;
    for (const std::string& line : lines)
        if (parse(line, &s) == Result::kParsed && assembler->add(s, &r))
            out.push_back(r);
    if (assembler->finish(&r))
        out.push_back(r);
    return out;
}
std::vector<GPS_POSITION> epochs(const std::vector<std::string>& lines) {
    nmea::EpochAssembler assembler;
    return epochs(lines, &assembler);
}

const uint32_t kPosition = GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE;
const uint32_t kInView = GPS_VALID_SATELLITES_IN_VIEW | GPS_VALID_SATELLITES_IN_VIEW_PRNS |
                         GPS_VALID_SATELLITES_IN_VIEW_ELEVATION |
                         GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH |
                         GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO;

// One epoch of a receiver moving in the southern hemisphere.
const std::vector<std::string> kSouthernEpoch = {
    "$GPGGA,095304.802,2712.6520,S,15303.1397,E,1,00,17.0,3.0,M,42.2,M,,*7E",
    "$GPGSA,A,2,05,12,30,,,,,,,,,,17.0,17.0,0.0*36",
    "$GPGSV,3,1,12,2,15,123,,5,45,347,44,6,58,198,,7,45,212,*76",
    "$GPGSV,3,2,12,10,44,132,,12,39,002,43,18,13,332,34,21,33,266,*79",
    "$GPGSV,3,3,12,24,58,220,,26,17,053,,29,20,063,,30,60,311,45*7E",
    "$GPRMC,095304.802,A,2712.6520,S,15303.1397,E,0.00,133.96,080407,,,A*78",
    "$GPVTG,133.96,T,,,0.00,N,0.00,K,A*7E",
};

// One epoch of a GPS and GLONASS receiver in the western hemisphere.
const std::vector<std::string> kTwoSystemEpoch = {
    "$GPGGA,020937.000,4404.1351,N,12118.8557,W,1,09,0.9,1123.8,M,-19.6,M,,0000*5D",
    "$GLGGA,020937.000,4404.1351,N,12118.8557,W,1,02,0.9,1123.8,M,-19.6,M,,0000*4A",
    "$GNGSA,A,3,15,17,30,28,01,19,18,11,24,,,,1.6,0.9,1.3*2D",
    "$GNGSA,A,3,73,82,,,,,,,,,,,1.6,0.9,1.3*2E",
    "$GPGSV,3,1,11,15,29,271,37,17,81,131,33,30,27,137,32,28,52,062,28*79",
    "$GPGSV,3,2,11,01,23,054,27,19,56,202,25,18,06,032,21,11,15,044,19*71",
    "$GPGSV,3,3,11,24,24,310,18,06,07,167,19,13,37,229,*44",
    "$GLGSV,3,1,11,73,47,322,36,82,55,053,29,84,03,192,18,71,11,268,20*65",
    "$GLGSV,3,2,11,72,14,317,19,80,57,086,,83,54,163,,81,10,026,*6F",
    "$GLGSV,3,3,11,79,09,112,,74,04,304,,65,02,357,*50",
    "$GNRMC,020937.000,A,4404.1351,N,12118.8557,W,0.11,359.11,050219,,,A*6B",
};

TEST(NmeaSentence, ChecksumDecidesWhetherASentenceIsRead) {
    const std::string good = "$GPGGA,094736,5251.0094,N,00518.8172,E,1,12,0.60,-4,M,46.8,M,,*4B";
    EXPECT_EQ(Result::kParsed, parse(good));
    EXPECT_EQ(Result::kParsed, parse(good + "\r\n"));
    EXPECT_EQ(Result::kParsed, parse(good + "\n"));
    EXPECT_EQ(Result::kParsed, parse("$GPRMC,095255.810,V,2712.6404,S,15303.1201,E,0.00,0.00,"
                                     "080407,,,A*6e")); // lower-case digits
    std::string altered = good;
    altered[20] = '5'; // 5251.0094 -> 5251.0095
    EXPECT_EQ(Result::kBadChecksum, parse(altered));
    const std::string body = good.substr(0, good.size() - 3);
    EXPECT_EQ(Result::kBadChecksum, parse(body));
    EXPECT_EQ(Result::kBadChecksum, parse(body + "*4"));
    EXPECT_EQ(Result::kBadChecksum, parse(body + "*4BX"));
    EXPECT_EQ(Result::kBadChecksum, parse(body + "*G1"));
    EXPECT_EQ(Result::kBadChecksum, parse(body + "*4B*4B"));
}

TEST(NmeaSentence, OnlySatelliteTalkersAndTheFourTypesAreRead) {
    const std::string gga = "GGA,120000,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,";
    for (const char* talker : {"GP", "GN", "GL", "GA", "BD", "GB"}) {
        nmea::Sentence s = parsed(nmeaSentence(talker + gga));
        EXPECT_EQ(nmea::Kind::kGga, s.kind);
        EXPECT_EQ(std::string(talker), std::string(s.talker, 2));
    }
    for (const std::string& line :
         {nmeaSentence("II" + gga), nmeaSentence("SD" + gga), std::string("$SDDPT,5.3,0.4,*79"),
          std::string("$GPVTG,133.96,T,,,0.00,N,0.00,K,A*7E"), nmeaSentence("PSRF103,00,01,00,01"),
          nmeaSentence("GPGGAX,1"), nmeaSentence("GP"), std::string("# Name: a receiver"),
          std::string(), std::string("\r\n"),
          std::string("!AIVDM,1,1,,A,13aG?P0P00PD;88MD5MTDww@2<0L,0*1E"),
          std::string("GPGGA,120000*00")})
        EXPECT_EQ(Result::kIgnored, parse(line)) << line;
}

TEST(NmeaSentence, FieldsOfEachTypeAreRead) {
    // GGA's fields show in the epoch tests, through the reading they make.
    nmea::Sentence rmc = parsed("$GPRMC,094737,A,5251.0093,N,00518.8170,E,5.6,230.5,200818,1.4,E,"
                                "A*1F");
    EXPECT_EQ('A', rmc.status);
    EXPECT_FLOAT_EQ(5.6f, rmc.speedKnots);
    EXPECT_FLOAT_EQ(230.5f, rmc.course);
    EXPECT_EQ(2018, rmc.date.year);
    EXPECT_EQ(8, rmc.date.month);
    EXPECT_EQ(20, rmc.date.day);
    EXPECT_DOUBLE_EQ(1.4, rmc.magneticVariation);
    EXPECT_DOUBLE_EQ(-1.4, parsed(nmeaSentence("GPRMC,094737,A,5251.0093,N,00518.8170,E,5.6,230.5,"
                                               "200818,1.4,W,A"))
                               .magneticVariation);
    EXPECT_DOUBLE_EQ(-(121 + 18.8557 / 60), parsed(kTwoSystemEpoch[0]).longitude);

    nmea::Sentence gsa = parsed(kTwoSystemEpoch[2]);
    EXPECT_EQ(3, gsa.fixMode);
    ASSERT_EQ(9, gsa.usedPrnCount);
    EXPECT_EQ(15u, gsa.usedPrns[0]);
    EXPECT_EQ(24u, gsa.usedPrns[8]);
    EXPECT_FLOAT_EQ(1.6f, gsa.pdop);
    EXPECT_FLOAT_EQ(1.3f, gsa.vdop);

    nmea::Sentence gsv = parsed(kTwoSystemEpoch[6]);
    EXPECT_EQ(3, gsv.gsvTotal);
    EXPECT_EQ(3, gsv.gsvIndex);
    EXPECT_EQ(11, gsv.gsvInView);
    ASSERT_EQ(3, gsv.satelliteCount);
    EXPECT_EQ(13u, gsv.satellites[2].prn);
    EXPECT_EQ(37u, gsv.satellites[2].elevation);
    EXPECT_EQ(229u, gsv.satellites[2].azimuth);
    EXPECT_EQ(0u, gsv.satellites[2].snr); // empty: not tracked
}

TEST(NmeaSentence, EmptyFieldsAreAbsentNotZero) {
    EXPECT_EQ(nmea::kStatus, parsed(nmeaSentence("GPRMC,,V,,,,,,,,,,N")).present);
    EXPECT_EQ(nmea::kQuality | nmea::kSatellitesUsed,
              parsed(nmeaSentence("GPGGA,,,,,,0,00,,,M,,M,,")).present);
    nmea::Sentence gsa = parsed("$GPGSA,A,1,,,,,,,,,,,,,0.0,0.0,0.0*30");
    EXPECT_EQ(0, gsa.usedPrnCount);
    EXPECT_EQ(1, gsa.fixMode);
    // A sentence that stops early has the fields it has.
    nmea::Sentence shortGga = parsed(nmeaSentence("GPGGA,120000,5000.000,N,00500.000,E,1"));
    EXPECT_EQ(nmea::kTime | nmea::kLatitude | nmea::kLongitude | nmea::kQuality, shortGga.present);
    // Satellites without a number are skipped.
    nmea::Sentence gsv = parsed(nmeaSentence("GPGSV,1,1,02,,10,20,30,07,40,50,"));
    ASSERT_EQ(1, gsv.satelliteCount);
    EXPECT_EQ(7u, gsv.satellites[0].prn);
}

TEST(NmeaSentence, UnreadableFieldsRejectTheSentence) {
    for (const char* body : {
             "GPGGA,120000,5x00.000,N,00500.000,E,1,08,1.0,10,M,40,M,,", // not a number
             "GPGGA,120000,5000.000,Q,00500.000,E,1,08,1.0,10,M,40,M,,", // hemisphere
             "GPGGA,120000,5000.000,,00500.000,E,1,08,1.0,10,M,40,M,,",  // hemisphere missing
             "GPGGA,120000,5060.000,N,00500.000,E,1,08,1.0,10,M,40,M,,", // 60 minutes
             "GPGGA,120000,9100.000,N,00500.000,E,1,08,1.0,10,M,40,M,,", // 91 degrees
             "GPGGA,120000,5000.000,N,18100.000,E,1,08,1.0,10,M,40,M,,", // 181 degrees
             "GPGGA,120000,5000.0.0,N,00500.000,E,1,08,1.0,10,M,40,M,,", // two points
             "GPGGA,120000,5000.000,N,00500.000,E,1,08,1.0,1234567890123456789,M,40,M,,",
             "GPGGA,256000,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,",  // hour 25
             "GPGGA,1200,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,",    // short time
             "GPGGA,120000,5000.000,N,00500.000,E,9,08,1.0,10,M,40,M,,",  // quality 9
             "GPRMC,120000,A,5000.000,N,00500.000,E,5.0,90.0,310218,,,A", // 31 February
             "GPRMC,120000,X,5000.000,N,00500.000,E,5.0,90.0,200818,,,A", // status
             "GPRMC,120000",                                              // no status
             "GPGSA,A,4,01,,,,,,,,,,,,1.0,1.0,1.0",                       // fix mode 4
             "GPGSV,3,4,12,01,10,20,30",                                  // sentence 4 of 3
             "GPGSV,1,1,01,01,91,20,30",                                  // elevation 91
         })
        EXPECT_EQ(Result::kMalformed, parse(nmeaSentence(body))) << body;
}

TEST(NmeaSentence, SentencesUpToTheLongestReceiversWriteAreRead) {
    // The station id, a field the driver does not read, stretches the
    // sentence to the length wanted; receivers exceed the standard's 82.
    auto ofLength = [](size_t length) {
        std::string body = "GPGGA,120000,5000.000,N,00500.000,E,1,08,1.0,10.,M,40,M,,";
        return nmeaSentence(body + std::string(length - body.size() - 4, '7'));
    };
    EXPECT_EQ(128u, ofLength(128).size());
    EXPECT_EQ(Result::kParsed, parse(ofLength(128) + "\r\n"));
    EXPECT_EQ(Result::kTooLong, parse(ofLength(129)));
    EXPECT_EQ(Result::kTooLong, parse("$GPGGA," + std::string(10000, ',')));
}

TEST(NmeaEpochs, SentencesOfOneTimeMakeOneReading) {
    std::vector<std::string> lines = kSouthernEpoch;
    lines.push_back("$GPGGA,095305.802,2712.6547,S,15303.1350,E,1,04,21.1,3.0,M,42.2,M,,*75");
    std::vector<GPS_POSITION> r = epochs(lines);
    ASSERT_EQ(2u, r.size());
    const GPS_POSITION& p = r[0];
    EXPECT_EQ(GPS_VERSION_1, p.dwVersion);
    EXPECT_EQ(GPS_POSITION_SIZE, p.dwSize);
    EXPECT_EQ(GPS_VALID_UTC_TIME | kPosition | GPS_VALID_SPEED | GPS_VALID_HEADING |
                  GPS_VALID_ALTITUDE_WRT_SEA_LEVEL | GPS_VALID_ALTITUDE_WRT_ELLIPSOID |
                  GPS_VALID_POSITION_DILUTION_OF_PRECISION |
                  GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION |
                  GPS_VALID_VERTICAL_DILUTION_OF_PRECISION | GPS_VALID_SATELLITE_COUNT |
                  GPS_VALID_SATELLITES_USED_PRNS | kInView,
              p.dwValidFields);
    EXPECT_EQ(2007, p.stUTCTime.wYear);
    EXPECT_EQ(4, p.stUTCTime.wMonth);
    EXPECT_EQ(8, p.stUTCTime.wDay);
    EXPECT_EQ(0, p.stUTCTime.wDayOfWeek); // a Sunday
    EXPECT_EQ(802, p.stUTCTime.wMilliseconds);
    EXPECT_DOUBLE_EQ(-(27 + 12.652 / 60), p.dblLatitude);
    EXPECT_FLOAT_EQ(45.2f, p.flAltitudeWRTEllipsoid);
    EXPECT_FLOAT_EQ(133.96f, p.flHeading);
    EXPECT_EQ(1u, p.FixQuality);
    EXPECT_EQ(static_cast<uint32_t>(GPS_FIX_2D), p.FixType);
    EXPECT_EQ(1u, p.SelectionType);
    EXPECT_FLOAT_EQ(17.0f, p.flHorizontalDilutionOfPrecision);
    // The used list, not GGA's "00", gives the count: the two go together.
    ASSERT_EQ(3u, p.dwSatelliteCount);
    EXPECT_EQ(30u, p.rgdwSatellitesUsedPRNs[2]);
    ASSERT_EQ(12u, p.dwSatellitesInView);
    EXPECT_EQ(30u, p.rgdwSatellitesInViewPRNs[11]);
    EXPECT_EQ(45u, p.rgdwSatellitesInViewSignalToNoiseRatio[11]);

    // The second epoch had a GGA alone: the date is carried, the rest is its own.
    const GPS_POSITION& q = r[1];
    EXPECT_EQ(GPS_VALID_UTC_TIME | kPosition | GPS_VALID_ALTITUDE_WRT_SEA_LEVEL |
                  GPS_VALID_ALTITUDE_WRT_ELLIPSOID | GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION |
                  GPS_VALID_SATELLITE_COUNT,
              q.dwValidFields);
    EXPECT_EQ(8, q.stUTCTime.wDay);
    EXPECT_EQ(4u, q.dwSatelliteCount);
    EXPECT_EQ(static_cast<uint32_t>(GPS_FIX_2D), q.FixType); // the latest GSA's mode
}

TEST(NmeaEpochs, NoFixGivesTimeButNoPosition) {
    std::vector<GPS_POSITION> r = epochs({
        "$GPGGA,095257.809,2712.6404,S,15303.1201,E,0,00,00.0,4.0,M,42.2,M,,*7B",
        "$GPRMC,095257.809,V,2712.6404,S,15303.1201,E,0.00,0.00,080407,,,A*64",
        nmeaSentence("GPGSA,A,3,05,12,30,,,,,,,,,,1.0,1.0,1.0"),
    });
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(GPS_VALID_UTC_TIME | GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION |
                  GPS_VALID_SATELLITE_COUNT | GPS_VALID_SATELLITES_USED_PRNS |
                  GPS_VALID_POSITION_DILUTION_OF_PRECISION |
                  GPS_VALID_VERTICAL_DILUTION_OF_PRECISION,
              r[0].dwValidFields);
    EXPECT_EQ(0.0, r[0].dblLatitude);
    EXPECT_EQ(0u, r[0].FixQuality);
    EXPECT_EQ(static_cast<uint32_t>(GPS_FIX_UNKNOWN), r[0].FixType); // whatever GSA says
}

TEST(NmeaEpochs, GgaFixIsPreferredAndTheFirstFixOfEachKindCounts) {
    std::vector<GPS_POSITION> r = epochs({
        nmeaSentence("GPRMC,100000,A,5001.000,N,00500.000,E,5.0,90.0,200818,,,A"),
        nmeaSentence("GPGGA,100000,5002.000,N,00500.000,E,0,08,1.0,10,M,40,M,,"),
        nmeaSentence("GNGGA,100000,5003.000,N,00500.000,E,2,08,1.0,10,M,40,M,,"),
        nmeaSentence("GLGGA,100000,5004.000,N,00500.000,E,1,08,1.0,10,M,40,M,,"),
        nmeaSentence("GPRMC,100001,A,5005.000,N,00500.000,E,5.0,90.0,200818,,,A"),
        nmeaSentence("GPRMC,100001,A,5006.000,N,00500.000,E,5.0,90.0,200818,,,A"),
    });
    ASSERT_EQ(2u, r.size());
    EXPECT_DOUBLE_EQ(50.05, r[0].dblLatitude);
    EXPECT_EQ(2u, r[0].FixQuality);
    EXPECT_TRUE(r[0].dwValidFields & GPS_VALID_SPEED); // the RMC still adds what it has
    EXPECT_DOUBLE_EQ(50 + 5.0 / 60, r[1].dblLatitude);
    EXPECT_FALSE(r[1].dwValidFields & GPS_VALID_ALTITUDE_WRT_SEA_LEVEL);
    EXPECT_EQ(static_cast<uint32_t>(GPS_FIX_2D), r[1].FixType); // no GSA, no altitude
    EXPECT_EQ(static_cast<uint32_t>(GPS_FIX_3D), r[0].FixType); // no GSA, altitude
}

TEST(NmeaEpochs, SatellitesAddUpAcrossSentencesAndSystemsToTwelve) {
    std::vector<GPS_POSITION> r = epochs(kTwoSystemEpoch);
    ASSERT_EQ(1u, r.size());
    const GPS_POSITION& p = r[0];
    EXPECT_EQ(kInView, p.dwValidFields & kInView);
    ASSERT_EQ(12u, p.dwSatellitesInView);
    const uint32_t prns[12] = {15, 17, 30, 28, 1, 19, 18, 11, 24, 6, 13, 73};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(prns[i], p.rgdwSatellitesInViewPRNs[i]) << i;
    EXPECT_EQ(47u, p.rgdwSatellitesInViewElevation[11]);
    EXPECT_EQ(322u, p.rgdwSatellitesInViewAzimuth[11]);
    EXPECT_EQ(36u, p.rgdwSatellitesInViewSignalToNoiseRatio[11]);
    // Two GSA sentences, GPS and GLONASS, make one used list.
    ASSERT_EQ(11u, p.dwSatelliteCount);
    EXPECT_EQ(73u, p.rgdwSatellitesUsedPRNs[9]);
    EXPECT_EQ(82u, p.rgdwSatellitesUsedPRNs[10]);
    EXPECT_EQ(static_cast<uint32_t>(GPS_FIX_3D), p.FixType);

    // A group with a sentence missing, or cut by the next epoch, is dropped.
    std::vector<std::string> gap = kSouthernEpoch;
    gap.erase(gap.begin() + 3);
    EXPECT_EQ(0u, epochs(gap)[0].dwValidFields & kInView);
    std::vector<std::string> cut = {kSouthernEpoch[0], kSouthernEpoch[2], kSouthernEpoch[3],
                                    "$GPGGA,095305.802,2712.6547,S,15303.1350,E,1,04,21.1,3.0,M,"
                                    "42.2,M,,*75",
                                    kSouthernEpoch[4]};
    for (const GPS_POSITION& p : epochs(cut))
        EXPECT_EQ(0u, p.dwValidFields & kInView);
}

// The start of an epoch of an NMEA 4.11 receiver: GSV sentences end with a
// signal id, GSA sentences with a system id.
const std::vector<std::string> kSignalIdEpoch = {
    "$GPGGA,043539.00,4333.190206,N,00127.618380,E,1,05,1.3,250.8,M,50.0,M,,*62",
    "$GNGSA,A,2,02,08,10,23,27,,,,,,,,1.6,1.3,0.9,1*33",
    "$GNGSA,A,2,65,66,73,81,82,,,,,,,,1.6,1.3,0.9,2*3B",
    "$GLGSV,3,1,10,66,40,075,48,82,56,327,48,73,22,320,34,80,37,257,18,1*75",
    "$GLGSV,3,2,10,79,12,205,20,65,16,026,43,83,16,281,17,81,45,054,46,1*7D",
    "$GLGSV,3,3,10,67,23,143,22,88,00,084,,1*73",
    "$BDGSV,2,1,05,08,09,030,39,11,40,081,42,13,17,036,43,21,,,49,4*4D",
    "$BDGSV,2,2,05,14,39,136,,4*4E",
};

TEST(NmeaEpochs, TrailingIdsAreNoSatellitesAndEachSatelliteCountsOnce) {
    const GPS_POSITION p = epochs(kSignalIdEpoch)[0];
    const uint32_t prns[12] = {66, 82, 73, 80, 79, 65, 83, 81, 67, 88, 8, 11};
    ASSERT_EQ(12u, p.dwSatellitesInView);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(prns[i], p.rgdwSatellitesInViewPRNs[i]) << i;
    EXPECT_EQ(1.6f, p.flPositionDilutionOfPrecision);
    EXPECT_EQ(0.9f, p.flVerticalDilutionOfPrecision);

    // One satellite's further signals add no entry; the strongest counts.
    // The used PRNs repeated under a second talker count once, and with
    // more than twelve used, those in view come first.
    const GPS_POSITION q = epochs({
        nmeaSentence("GPGGA,120000,5000.000,N,00500.000,E,1,14,1.0,10,M,40,M,,"),
        nmeaSentence("GPGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,1.0,1.0,1.0"),
        nmeaSentence("GNGSA,A,3,01,02,03,04,05,06,07,08,09,10,11,12,1.0,1.0,1.0,1"),
        nmeaSentence("GNGSA,A,3,65,66,,,,,,,,,,,1.0,1.0,1.0,2"),
        nmeaSentence("GPGSV,1,1,02,05,06,110,19,10,24,284,34,1"),
        nmeaSentence("GPGSV,1,1,02,05,06,110,,10,24,284,40,6"),
        nmeaSentence("GLGSV,1,1,01,66,40,075,48,1"),
    })[0];
    ASSERT_EQ(3u, q.dwSatellitesInView);
    EXPECT_EQ(19u, q.rgdwSatellitesInViewSignalToNoiseRatio[0]);
    EXPECT_EQ(40u, q.rgdwSatellitesInViewSignalToNoiseRatio[1]);
    EXPECT_EQ(66u, q.rgdwSatellitesInViewPRNs[2]);
    ASSERT_EQ(12u, q.dwSatelliteCount);
    const uint32_t used[12] = {5, 10, 66, 1, 2, 3, 4, 6, 7, 8, 9, 11};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(used[i], q.rgdwSatellitesUsedPRNs[i]) << i;
}

TEST(NmeaEpochs, EveryGgaQualityMapsToAFixAndTheDriversQuality) {
    // 1 GPS, 2 DGPS, 3 PPS, 4 RTK, 5 float RTK, 6 estimated, 7 manual, 8 simulated.
    const uint32_t expected[9] = {0, 1, 2, 1, 2, 2, 1, 0, 0};
    for (int quality = 0; quality <= 8; ++quality) {
        const GPS_POSITION p =
            epochs({nmeaSentence("GNGGA,120000,5000.000,N,00500.000,E," + std::to_string(quality) +
                                 ",08,1.0,10,M,,M,,")})[0];
        EXPECT_EQ(expected[quality], p.FixQuality) << quality;
        EXPECT_EQ(quality > 0 ? kPosition : 0u, p.dwValidFields & kPosition) << quality;
        // Without a separation only the sea-level altitude is known.
        EXPECT_EQ(quality > 0 ? GPS_VALID_ALTITUDE_WRT_SEA_LEVEL : 0u,
                  p.dwValidFields &
                      (GPS_VALID_ALTITUDE_WRT_SEA_LEVEL | GPS_VALID_ALTITUDE_WRT_ELLIPSOID))
            << quality;
    }
}

TEST(NmeaEpochs, DateIsCarriedSeededAndRollsOverAtMidnight) {
    std::vector<GPS_POSITION> r = epochs({
        nmeaSentence("GPRMC,235959.500,A,5000.000,N,00500.000,E,5.0,90.0,310119,,,A"),
        nmeaSentence("GPGGA,000000.500,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,"),
        nmeaSentence("GPGGA,000001.500,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,"),
    });
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(31, r[0].stUTCTime.wDay);
    for (int i : {1, 2}) {
        EXPECT_EQ(2019, r[i].stUTCTime.wYear);
        EXPECT_EQ(2, r[i].stUTCTime.wMonth);
        EXPECT_EQ(1, r[i].stUTCTime.wDay);
        EXPECT_EQ(5, r[i].stUTCTime.wDayOfWeek); // a Friday
    }

    // Before the first RMC: no date, unless one was seeded.
    const std::vector<std::string> early = {
        nmeaSentence("GPGGA,235900,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,"),
        nmeaSentence("GPGGA,000059,5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,"),
    };
    r = epochs(early);
    ASSERT_EQ(2u, r.size());
    EXPECT_FALSE(r[0].dwValidFields & GPS_VALID_UTC_TIME);
    EXPECT_EQ(59, r[0].stUTCTime.wMinute);
    nmea::EpochAssembler seeded;
    seeded.seedDate({2020, 3, 1}, {0, 1, 0, 0});
    r = epochs(early, &seeded);
    ASSERT_EQ(2u, r.size());
    EXPECT_TRUE(r[0].dwValidFields & GPS_VALID_UTC_TIME);
    EXPECT_EQ(29, r[0].stUTCTime.wDay); // the day before, in a leap year
    EXPECT_EQ(2, r[0].stUTCTime.wMonth);
    EXPECT_EQ(1, r[1].stUTCTime.wDay);
    EXPECT_EQ(3, r[1].stUTCTime.wMonth);
}

TEST(NmeaEpochs, FixTypeFollowsTheLatestGsaWhileThereIsAFix) {
    auto gga = [](const char* time) {
        return nmeaSentence(std::string("GPGGA,") + time +
                            ",5000.000,N,00500.000,E,1,08,1.0,10,M,40,M,,");
    };
    auto gsa = [](int mode, int used) {
        std::string body = "GPGSA,A," + std::to_string(mode);
        for (int i = 1; i <= 12; ++i)
            body += i <= used ? "," + std::to_string(i) : ",";
        return nmeaSentence(body + ",2.0,1.0,1.7");
    };
    std::vector<GPS_POSITION> r = epochs({
        gga("100000"), gsa(2, 3),                       // 2D
        gga("100001"),                                  // still 2D
        gga("100002"), gsa(3, 4),                       // 3D
        nmeaSentence("GPGGA,100003,,,,,0,00,,,M,,M,,"), // no fix
        gga("100004"), gsa(1, 0),                       // GSA lags: altitude says 3D
    });
    ASSERT_EQ(5u, r.size());
    const uint32_t expected[] = {GPS_FIX_2D, GPS_FIX_2D, GPS_FIX_3D, GPS_FIX_UNKNOWN, GPS_FIX_3D};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(expected[i], r[i].FixType) << i;
}

// Arbitrary bytes and damaged sentences: the parser reads only the line it
// is given, and nothing it accepts breaks the structure's bounds.
TEST(NmeaSentence, SurvivesArbitraryAndDamagedInput) {
    std::mt19937 random(20240521);
    std::vector<std::string> seeds = kTwoSystemEpoch;
    seeds.insert(seeds.end(), kSouthernEpoch.begin(), kSouthernEpoch.end());
    nmea::EpochAssembler assembler;
    int parsedCount = 0;
    for (int i = 0; i < 40000; ++i) {
        std::string line = seeds[random() % seeds.size()];
        if (i % 4 == 0) {
            line.assign(random() % 120, '\0');
            for (char& c : line)
                c = static_cast<char>(random() % 4 == 0 ? ",*$.-0123456789"[random() % 15]
                                                        : random() % 256);
        } else {
            for (int k = random() % 4; k >= 0; --k) {
                const size_t at = random() % line.size();
                switch (random() % 3) {
                case 0:
                    line[at] = ",.*0123456789ANSEWV"[random() % 19];
                    break;
                case 1:
                    line.erase(at, 1 + random() % 8);
                    break;
                default:
                    line.insert(at, 1 + random() % 8, ',');
                }
                if (line.empty())
                    line = "$";
            }
            // Give most mutants a good checksum so that the fields get read.
            const size_t star = line.rfind('*');
            if (i % 3 != 0 && line[0] == '$' && star != std::string::npos && star > 1)
                line = nmeaSentence(line.substr(1, star - 1));
        }
        // A copy of exactly the line's length, so that a read past it is caught.
        std::vector<char> exact(line.begin(), line.end());
        nmea::Sentence s;
        if (nmea::parse(exact.data(), exact.size(), &s) != Result::kParsed)
            continue;
        ++parsedCount;
        ASSERT_LE(s.usedPrnCount, 12);
        ASSERT_GE(s.satelliteCount, 0);
        ASSERT_LE(s.satelliteCount, 4);
        GPS_POSITION r;
        if (assembler.add(s, &r)) {
            ASSERT_LE(r.dwSatellitesInView, 12u);
            ASSERT_TRUE(!(r.dwValidFields & GPS_VALID_SATELLITES_USED_PRNS) ||
                        r.dwSatelliteCount <= 12u);
            ASSERT_LE(std::abs(r.dblLatitude), 90.0);
            ASSERT_LE(std::abs(r.dblLongitude), 180.0);
        }
    }
    EXPECT_GT(parsedCount, 1000); // the mutants reached the field readers
}

} // namespace
