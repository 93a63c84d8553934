#pragma once
// The time an image was taken, from the header cards observers' files carry.

#include <string>

#include "fits/fits_image.hpp"

namespace newstars {

// The instant of an observation (UTC), as far as the header gives it.
struct ObservationTime {
    int year = 0, month = 0, day = 0; // calendar date (Gregorian from 1582 October 15)
    bool hasTime = false;             // false: the header gives the date alone
    double seconds = 0;               // since the date's midnight, 0 <= seconds < 86401
    double mjd = 0;                   // Modified Julian Date; the date's 0h without a time
    const char* source = "";          // the card it came from: "DATE-OBS", "MJD-OBS", "DATE-BEG"
};

// Reads the observation time from the first of these that gives one:
//   DATE-OBS  "yyyy-mm-dd" or "yyyy-mm-ddThh:mm:ss[.s...]", or the old "dd/mm/yy" of the
//             years 1900 to 1999; a date without its time takes it from TIME-OBS
//             ("hh:mm[:ss[.s...]]") when that card is there
//   MJD-OBS   a Modified Julian Date, a number between the years 1 and 9999
//   DATE-BEG  as DATE-OBS, its time in the text
// A source that gives the date and time wins over an earlier one giving the date alone.
// Fields must be in range (month 1-12, day 1-31, hours 0-23, minutes 0-59, seconds
// below 61); a card of another form counts as absent. 0 with *time replaced, or -1 when
// no card gives a date (*time untouched).
int readObservationTime(const FitsImage& image, ObservationTime* time);

// The date and the time of an observation as the report's summary line shows them:
// "yyyy-mm-dd" and "hh:mm:ss.sss" (to the millisecond; "????????" without a time).
void formatObservationTime(const ObservationTime& time, std::string* date, std::string* clock);

// ISO 8601: "yyyy-mm-ddThh:mm:ss.sss" (to the millisecond), or "yyyy-mm-dd" without a time.
std::string isoObservationTime(const ObservationTime& time);

// The observation time from a Modified Julian Date: date and time of day (UTC), hasTime
// set, source left "". -1 (time untouched) for a date that is not finite or lies
// outside the years 1 to 9999.
int observationTimeFromMjd(double mjd, ObservationTime* time);

} // namespace newstars
