// Gathers parsed NMEA sentences into epochs, one reading per epoch, the way
// a GPS driver fills GPS_POSITION from its receiver's output.
//
// An epoch is a run of sentences that share one UTC time: a GGA or RMC whose
// time differs from the open epoch's closes it and opens the next. GSA and
// GSV carry no time and belong to the open epoch. Within an epoch the first
// GGA with a fix gives the position (it carries altitude and quality with
// it); an RMC with status 'A' gives it only when no GGA did. A valid bit is
// set only for a field that a sentence of the epoch carried; the calendar
// date is the exception, as RMC alone carries it: it is kept from the latest
// RMC and moves on a day when the time of day wraps past midnight.
//
// Satellites: a satellite is one PRN of one talker; since NMEA 4.10 a
// receiver sends a GSV group per signal, and the further signals of a
// satellite add no entry (the strongest SNR counts). The used PRNs of every
// GSA of the epoch are gathered once each, across talkers; when more than
// the driver's 12 are used, those in view come first, so that the in-view
// table's used marks hold.
#pragma once

#include "nmea.h"

#include "../../platform/gps_driver.h"

namespace nmea {

class EpochAssembler {
  public:
    EpochAssembler() { reset(); }
    void reset();

    // Gives the epochs before the first dated sentence a date: DATE, read
    // at time of day AT further on; an earlier epoch whose time of day lies
    // after AT is taken to be from the day before.
    void seedDate(const Date& date, const Time& at);

    // Adds one parsed sentence. When it closes the open epoch, that epoch's
    // reading is written to *COMPLETED and the result is true.
    bool add(const Sentence& s, GPS_POSITION* completed);
    // Closes the open epoch at the end of the input; false when none is open.
    bool finish(GPS_POSITION* completed);

  private:
    void open(const Time& t);
    void build(GPS_POSITION* out);
    void addSatellites(const Sentence& s);
    void addInView(const SatelliteInView& v);
    void buildUsedList(GPS_POSITION* out) const;

    // The open epoch.
    bool open_;
    Time time_;
    bool hasGga_, ggaFix_, hasRmc_, rmcFix_;
    Sentence gga_, rmc_;
    bool hasGsa_;
    int gsaMode_;
    char selection_;
    float pdop_, hdop_, vdop_;
    uint32_t gsaPresent_;
    static const int kMaxUsed = 64; // several systems' GSA sentences
    uint32_t usedPrns_[kMaxUsed];
    int usedCount_;
    bool hasInView_;
    nmea::SatelliteInView inView_[GPS_MAX_SATELLITES];
    char inViewTalker_[GPS_MAX_SATELLITES][2];
    int inViewCount_;

    // A GSV group being gathered.
    bool groupOpen_;
    char groupTalker_[2];
    int groupTotal_, groupNext_;
    nmea::SatelliteInView group_[GPS_MAX_SATELLITES];
    int groupCount_;

    // Carried from epoch to epoch.
    bool hasDate_;
    Date date_;
    Time dateAt_; // the time of day DATE_ belongs to
    bool seeded_;
    Date seedDate_;
    Time seedAt_;
    int lastFixMode_; // of the latest GSA that reported a fix, else 0
};

} // namespace nmea
