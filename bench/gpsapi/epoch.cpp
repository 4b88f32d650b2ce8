#include "epoch.h"

#include "../civil_date.h"

#include <cstring>

namespace nmea {
namespace {

constexpr int64_t kDayMs = 24 * 3600 * 1000;
constexpr int64_t kHalfDayMs = kDayMs / 2;

int64_t timeOfDayMs(const Time& t) {
    return ((t.hour * 60 + t.minute) * 60 + t.second) * 1000LL + t.millisecond;
}

bool sameTime(const Time& a, const Time& b) {
    return timeOfDayMs(a) == timeOfDayMs(b);
}

Date addDays(const Date& d, int days) {
    const CivilDate c = civilFromDays(daysFromCivil(d.year, d.month, d.day) + days);
    return {static_cast<int>(c.year), c.month, c.day};
}

bool hasFix(const Sentence& s) {
    const uint32_t position = kLatitude | kLongitude;
    if ((s.present & position) != position)
        return false;
    if (s.kind == Kind::kGga)
        return (s.present & kQuality) && s.quality > 0;
    return s.status == 'A';
}

// GGA quality: 1 GPS, 2 differential, 3 PPS, 4 RTK fixed, 5 RTK float,
// 6 dead reckoning, 7 manual input, 8 simulation. The driver knows GPS and
// DGPS: every fix aided by corrections (RTK included) is differential, and
// a position that no satellite gave has no quality.
uint32_t fixQualityOf(int quality) {
    switch (quality) {
    case 1:
    case 3:
    case 6:
        return 1;
    case 2:
    case 4:
    case 5:
        return 2;
    default:
        return 0;
    }
}

} // namespace

void EpochAssembler::reset() {
    std::memset(static_cast<void*>(this), 0, sizeof *this);
}

void EpochAssembler::seedDate(const Date& date, const Time& at) {
    seeded_ = true;
    seedDate_ = date;
    seedAt_ = at;
}

void EpochAssembler::open(const Time& t) {
    open_ = true;
    time_ = t;
    hasGga_ = ggaFix_ = hasRmc_ = rmcFix_ = false;
    hasGsa_ = false;
    gsaMode_ = 0;
    selection_ = 0;
    gsaPresent_ = 0;
    usedCount_ = 0;
    hasInView_ = false;
    inViewCount_ = 0;
    groupOpen_ = false; // a group cut by an epoch boundary is dropped
}

bool EpochAssembler::add(const Sentence& s, GPS_POSITION* completed) {
    bool closed = false;
    const bool timed = (s.kind == Kind::kGga || s.kind == Kind::kRmc) && (s.present & kTime);
    if (timed && !(open_ && sameTime(time_, s.time))) {
        if (open_) {
            build(completed);
            closed = true;
        }
        open(s.time);
    }
    if (!open_)
        return closed; // untimed sentences before the first epoch

    switch (s.kind) {
    case Kind::kGga:
        if (!hasGga_ || (!ggaFix_ && hasFix(s))) {
            gga_ = s;
            hasGga_ = true;
            ggaFix_ = hasFix(s);
        }
        break;
    case Kind::kRmc:
        if (!hasRmc_ || (!rmcFix_ && hasFix(s))) {
            rmc_ = s;
            hasRmc_ = true;
            rmcFix_ = hasFix(s);
        }
        if (s.present & kDate) {
            hasDate_ = true;
            date_ = s.date;
            dateAt_ = (s.present & kTime) ? s.time : time_;
        }
        break;
    case Kind::kGsa:
        if (!hasGsa_) {
            hasGsa_ = true;
            gsaPresent_ = s.present;
            gsaMode_ = s.fixMode;
            selection_ = s.selection;
            pdop_ = s.pdop;
            hdop_ = s.hdop;
            vdop_ = s.vdop;
        }
        // Several GSA sentences in one epoch list the satellites of several
        // systems (some receivers repeat them under a second talker);
        // together they are the used set.
        for (int i = 0; i < s.usedPrnCount; ++i) {
            bool known = false;
            for (int k = 0; k < usedCount_ && !known; ++k)
                known = usedPrns_[k] == s.usedPrns[i];
            if (!known && usedCount_ < kMaxUsed)
                usedPrns_[usedCount_++] = s.usedPrns[i];
        }
        break;
    case Kind::kGsv:
        addSatellites(s);
        break;
    }
    return closed;
}

// A GSV group is sentences 1..total of one talker in order; a group with a
// gap is dropped. Complete groups of several talkers add up, to 12 at most.
void EpochAssembler::addSatellites(const Sentence& s) {
    if (s.gsvIndex == 1) {
        groupOpen_ = true;
        std::memcpy(groupTalker_, s.talker, 2);
        groupTotal_ = s.gsvTotal;
        groupNext_ = 1;
        groupCount_ = 0;
    }
    if (!groupOpen_ || s.gsvIndex != groupNext_ || s.gsvTotal != groupTotal_ ||
        std::memcmp(groupTalker_, s.talker, 2) != 0) {
        groupOpen_ = false;
        return;
    }
    for (int i = 0; i < s.satelliteCount && groupCount_ < GPS_MAX_SATELLITES; ++i)
        group_[groupCount_++] = s.satellites[i];
    ++groupNext_;
    if (s.gsvIndex == s.gsvTotal) {
        groupOpen_ = false;
        hasInView_ = true;
        for (int i = 0; i < groupCount_; ++i)
            addInView(group_[i]);
    }
}

void EpochAssembler::addInView(const SatelliteInView& v) {
    for (int i = 0; i < inViewCount_; ++i) {
        if (inView_[i].prn == v.prn && std::memcmp(inViewTalker_[i], groupTalker_, 2) == 0) {
            if (v.snr > inView_[i].snr)
                inView_[i].snr = v.snr;
            return;
        }
    }
    if (inViewCount_ == GPS_MAX_SATELLITES)
        return;
    std::memcpy(inViewTalker_[inViewCount_], groupTalker_, 2);
    inView_[inViewCount_++] = v;
}

void EpochAssembler::buildUsedList(GPS_POSITION* out) const {
    bool taken[kMaxUsed] = {};
    uint32_t n = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int u = 0; u < usedCount_ && n < GPS_MAX_SATELLITES; ++u) {
            bool inView = false;
            for (int i = 0; i < inViewCount_ && !inView; ++i)
                inView = inView_[i].prn == usedPrns_[u];
            if (taken[u] || (pass == 0 && !inView))
                continue;
            taken[u] = true;
            out->rgdwSatellitesUsedPRNs[n++] = usedPrns_[u];
        }
    }
    // The list and its count go together: a reader indexes one by the other.
    out->dwSatelliteCount = n;
}

bool EpochAssembler::finish(GPS_POSITION* completed) {
    if (!open_)
        return false;
    build(completed);
    open_ = false;
    return true;
}

void EpochAssembler::build(GPS_POSITION* out) {
    std::memset(out, 0, sizeof *out);
    out->dwVersion = GPS_VERSION_1;
    out->dwSize = GPS_POSITION_SIZE;
    uint32_t valid = 0;

    // Time, and the date carried or seeded.
    const int64_t tod = timeOfDayMs(time_);
    bool dated = false;
    Date date = {0, 0, 0};
    if (hasDate_) {
        date = date_;
        if (tod < timeOfDayMs(dateAt_) - kHalfDayMs)
            date = addDays(date, 1);
        date_ = date;
        dateAt_ = time_;
        dated = true;
    } else if (seeded_) {
        date = seedDate_;
        if (tod > timeOfDayMs(seedAt_) + kHalfDayMs)
            date = addDays(date, -1);
        dated = true;
    }
    GpsSystemTime& st = out->stUTCTime;
    st.wHour = static_cast<uint16_t>(time_.hour);
    st.wMinute = static_cast<uint16_t>(time_.minute);
    st.wSecond = static_cast<uint16_t>(time_.second);
    st.wMilliseconds = static_cast<uint16_t>(time_.millisecond);
    if (dated) {
        st.wYear = static_cast<uint16_t>(date.year);
        st.wMonth = static_cast<uint16_t>(date.month);
        st.wDay = static_cast<uint16_t>(date.day);
        const int64_t days = daysFromCivil(date.year, date.month, date.day);
        st.wDayOfWeek = static_cast<uint16_t>(((days % 7) + 11) % 7); // 1970-01-01: Thursday
        valid |= GPS_VALID_UTC_TIME;
    }

    // Position: the GGA's fix first, else the RMC's.
    bool fix = false;
    bool altitude = false;
    if (hasGga_ && ggaFix_) {
        out->dblLatitude = gga_.latitude;
        out->dblLongitude = gga_.longitude;
        fix = true;
        if (gga_.present & kAltitude) {
            out->flAltitudeWRTSeaLevel = gga_.altitude;
            valid |= GPS_VALID_ALTITUDE_WRT_SEA_LEVEL;
            altitude = true;
            if (gga_.present & kGeoidSeparation) {
                out->flAltitudeWRTEllipsoid = gga_.altitude + gga_.geoidSeparation;
                valid |= GPS_VALID_ALTITUDE_WRT_ELLIPSOID;
            }
        }
    } else if (hasRmc_ && rmcFix_) {
        out->dblLatitude = rmc_.latitude;
        out->dblLongitude = rmc_.longitude;
        fix = true;
    }
    if (fix)
        valid |= GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE;

    if (hasGga_) {
        if (gga_.present & kQuality)
            out->FixQuality = fixQualityOf(gga_.quality);
        if (gga_.present & kHdop) {
            out->flHorizontalDilutionOfPrecision = gga_.hdop;
            valid |= GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION;
        }
        if (gga_.present & kSatellitesUsed) {
            out->dwSatelliteCount = static_cast<uint32_t>(gga_.satellitesUsed);
            valid |= GPS_VALID_SATELLITE_COUNT;
        }
    }
    if (hasRmc_ && rmcFix_) {
        if (rmc_.present & kSpeed) {
            out->flSpeed = rmc_.speedKnots;
            valid |= GPS_VALID_SPEED;
        }
        if (rmc_.present & kCourse) {
            out->flHeading = rmc_.course;
            valid |= GPS_VALID_HEADING;
        }
        if (rmc_.present & kMagneticVariation) {
            out->dblMagneticVariation = rmc_.magneticVariation;
            valid |= GPS_VALID_MAGNETIC_VARIATION;
        }
    }

    if (hasGsa_) {
        if (gsaPresent_ & kSelection)
            out->SelectionType = selection_ == 'A' ? 1u : 2u;
        if (gsaPresent_ & kPdop) {
            out->flPositionDilutionOfPrecision = pdop_;
            valid |= GPS_VALID_POSITION_DILUTION_OF_PRECISION;
        }
        if ((gsaPresent_ & kHdop) && !(valid & GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION)) {
            out->flHorizontalDilutionOfPrecision = hdop_;
            valid |= GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION;
        }
        if (gsaPresent_ & kVdop) {
            out->flVerticalDilutionOfPrecision = vdop_;
            valid |= GPS_VALID_VERTICAL_DILUTION_OF_PRECISION;
        }
        buildUsedList(out);
        valid |= GPS_VALID_SATELLITE_COUNT | GPS_VALID_SATELLITES_USED_PRNS;
        if (gsaPresent_ & kFixMode)
            lastFixMode_ = gsaMode_ >= 2 ? gsaMode_ : 0;
    }

    if (hasInView_) {
        out->dwSatellitesInView = static_cast<uint32_t>(inViewCount_);
        for (int i = 0; i < inViewCount_; ++i) {
            out->rgdwSatellitesInViewPRNs[i] = inView_[i].prn;
            out->rgdwSatellitesInViewElevation[i] = inView_[i].elevation;
            out->rgdwSatellitesInViewAzimuth[i] = inView_[i].azimuth;
            out->rgdwSatellitesInViewSignalToNoiseRatio[i] = inView_[i].snr;
        }
        valid |= GPS_VALID_SATELLITES_IN_VIEW | GPS_VALID_SATELLITES_IN_VIEW_PRNS |
                 GPS_VALID_SATELLITES_IN_VIEW_ELEVATION | GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH |
                 GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO;
    }

    // Fix type: none without a position. With one, the latest GSA's mode
    // (receivers send GSA less often than GGA); before any GSA, a fix with
    // altitude counts as three-dimensional.
    if (!fix)
        out->FixType = GPS_FIX_UNKNOWN;
    else if (lastFixMode_ == 3)
        out->FixType = GPS_FIX_3D;
    else if (lastFixMode_ == 2)
        out->FixType = GPS_FIX_2D;
    else
        out->FixType = altitude ? GPS_FIX_3D : GPS_FIX_2D;

    out->dwValidFields = valid;
}

} // namespace nmea
