#include "history/history.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace newstars {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double DEGREE = PI / 180;

const char SCHEMA[] =
    "CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, recorded TEXT NOT NULL,"
    " detections INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS sources(id INTEGER PRIMARY KEY, ra REAL NOT NULL,"
    " dec REAL NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sources_dec ON sources(dec);"
    "CREATE TABLE IF NOT EXISTS detections(id INTEGER PRIMARY KEY,"
    " source INTEGER NOT NULL REFERENCES sources(id), run INTEGER NOT NULL REFERENCES runs(id),"
    " image TEXT NOT NULL, number INTEGER NOT NULL, ra REAL NOT NULL, dec REAL NOT NULL,"
    " observed TEXT NOT NULL, mjd REAL, night TEXT NOT NULL, flux REAL);"
    "CREATE INDEX IF NOT EXISTS detections_source ON detections(source);"
    "CREATE TABLE IF NOT EXISTS marks(id INTEGER PRIMARY KEY, ra REAL NOT NULL,"
    " dec REAL NOT NULL, kind TEXT NOT NULL, name TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS marks_dec ON marks(dec);";

sqlite3* db(HistoryDatabase* database)
{
    return static_cast<sqlite3*>(database->handle);
}

// A prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* connection, const char* sql)
    {
        if (sqlite3_prepare_v2(connection, sql, -1, &statement_, nullptr) != SQLITE_OK)
            statement_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    bool ok() const { return statement_ != nullptr; }
    void reset()
    {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    void text(int index, const std::string& value)
    {
        sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    }
    // NULL for a value that is not finite (SQLite keeps no NaN).
    void real(int index, double value)
    {
        if (std::isfinite(value))
            sqlite3_bind_double(statement_, index, value);
        else
            sqlite3_bind_null(statement_, index);
    }
    void integer(int index, int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    double columnReal(int index) const
    {
        return sqlite3_column_type(statement_, index) == SQLITE_NULL
                   ? std::numeric_limits<double>::quiet_NaN()
                   : sqlite3_column_double(statement_, index);
    }
    std::string columnText(int index) const
    {
        const unsigned char* t = sqlite3_column_text(statement_, index);
        return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t));
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

std::string errorText(sqlite3* connection)
{
    return connection != nullptr ? sqlite3_errmsg(connection) : "out of memory";
}

int execute(sqlite3* connection, const char* sql, std::string* message)
{
    char* error = nullptr;
    if (sqlite3_exec(connection, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        *message = error != nullptr ? error : errorText(connection);
        sqlite3_free(error);
        return -1;
    }
    return 0;
}

// Ends a transaction that did not commit.
void rollBack(sqlite3* connection)
{
    sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
}

// The UTC date of a day count from 1970-01-01 (proleptic Gregorian calendar).
std::string dateOfDays(int64_t days)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[80];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day));
    return text;
}

// The nearest source found so far and its distance, arcseconds.
struct Near {
    int64_t id = 0;
    double distance = 0;
};

// Months' lengths are not checked: a date of the ISO text is taken as it is written.
bool isoDate(const std::string& iso)
{
    if (iso.size() < 10)
        return false;
    for (size_t i = 0; i < 10; ++i) {
        const bool dash = i == 4 || i == 7;
        if (dash ? iso[i] != '-' : (iso[i] < '0' || iso[i] > '9'))
            return false;
    }
    return iso.size() == 10 || iso[10] == 'T';
}

} // namespace

HistoryDatabase::HistoryDatabase(HistoryDatabase&& other) noexcept
    : handle(std::exchange(other.handle, nullptr))
{
}

HistoryDatabase& HistoryDatabase::operator=(HistoryDatabase&& other) noexcept
{
    if (this != &other) {
        sqlite3_close(static_cast<sqlite3*>(handle));
        handle = std::exchange(other.handle, nullptr);
    }
    return *this;
}

HistoryDatabase::~HistoryDatabase()
{
    sqlite3_close(static_cast<sqlite3*>(handle));
}

double skySeparationArcsec(double ra1, double dec1, double ra2, double dec2)
{
    // Haversine form: exact for small angles.
    const double a = std::sin((dec2 - dec1) * DEGREE / 2);
    const double b = std::sin((ra2 - ra1) * DEGREE / 2);
    const double h = a * a + std::cos(dec1 * DEGREE) * std::cos(dec2 * DEGREE) * b * b;
    return 2 * std::asin(std::sqrt(std::min(1.0, std::max(0.0, h)))) / DEGREE * 3600;
}

std::string observationNight(double mjd, const std::string& iso)
{
    if (std::isfinite(mjd) && std::fabs(mjd) < 1e8) {
        // MJD 40587 is 1970-01-01; the night starts 12 hours into its date.
        return dateOfDays(static_cast<int64_t>(std::floor(mjd - 0.5)) - 40587);
    }
    if (isoDate(iso) && iso.size() == 10)
        return iso;
    return "";
}

// Whether the last failure on connection came from another connection's hold on the
// file: a second run creating or converting the same new history at the same moment.
static bool heldByAnother(sqlite3* connection)
{
    if (connection == nullptr)
        return false;
    const int code = sqlite3_extended_errcode(connection) & 0xff;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_IOERR;
}

// One attempt of openHistory after the file checks: 0, or -1 with *message and *retry
// true when another connection held the file at a step the busy timeout does not cover
// (turning a new file to write-ahead logging).
static int openHistoryOnce(const std::string& path, HistoryDatabase* database,
                           std::string* message,
                    bool* retry)
{
    *retry = false;
    sqlite3* connection = nullptr;
    if (sqlite3_open_v2(path.c_str(), &connection,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *message = path + ": " + errorText(connection);
        sqlite3_close(connection);
        return -1;
    }
    HistoryDatabase opened;
    opened.handle = connection;
    const auto failed = [&](const std::string& text) {
        *message = path + ": " + text;
        *retry = heldByAnother(connection);
        return -1;
    };
    sqlite3_busy_timeout(connection, HISTORY_BUSY_MS);
    sqlite3_extended_result_codes(connection, 1);
    // The layout is read before anything is written: a file of another program is left
    // as it was.
    int version = -1;
    int tables = -1;
    {
        Statement v(connection, "PRAGMA user_version");
        if (!v.ok() || sqlite3_step(v.get()) != SQLITE_ROW)
            return failed(errorText(connection));
        version = sqlite3_column_int(v.get(), 0);
        Statement t(connection, "SELECT count(*) FROM sqlite_schema");
        if (!t.ok() || sqlite3_step(t.get()) != SQLITE_ROW)
            return failed(errorText(connection));
        tables = sqlite3_column_int(t.get(), 0);
    }
    if (version != HISTORY_SCHEMA_VERSION && !(version == 0 && tables == 0)) {
        *message = path + ": not a candidate history (a database of layout " +
                   std::to_string(version) + ", this program writes " +
                   std::to_string(HISTORY_SCHEMA_VERSION) + ")";
        return -1;
    }
    std::string error;
    if (execute(connection, "PRAGMA journal_mode=WAL", &error) != 0 ||
        execute(connection, "PRAGMA synchronous=NORMAL", &error) != 0 ||
        execute(connection, "BEGIN IMMEDIATE", &error) != 0)
        return failed(error);
    if (execute(connection, SCHEMA, &error) != 0 ||
        execute(connection, "PRAGMA user_version=1", &error) != 0 ||
        execute(connection, "COMMIT", &error) != 0) {
        const int status = failed(error);
        rollBack(connection);
        return status;
    }
    *database = std::move(opened);
    return 0;
}

int openHistory(const std::string& path, HistoryDatabase* database, std::string* message)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            *message = path + ": not a regular file";
            return -1;
        }
    } else if (errno != ENOENT) {
        *message = path + ": " + std::strerror(errno);
        return -1;
    }
    // Two runs starting on one new history race to create it and turn it to write-ahead
    // logging; the loser's error is one of contention, and a fresh connection a moment later
    // finds the file set up. A lasting fault (a full or failing disk) ends it in 2 seconds.
    for (int attempt = 1;; ++attempt) {
        bool retry = false;
        if (openHistoryOnce(path, database, message, &retry) == 0)
            return 0;
        if (!retry || attempt == 100)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int addMarks(HistoryDatabase* database, const std::vector<HistoryMark>& marks,
             std::string* message)
{
    sqlite3* connection = db(database);
    if (execute(connection, "BEGIN IMMEDIATE", message) != 0)
        return -1;
    Statement insert(connection, "INSERT INTO marks(ra, dec, kind, name) VALUES(?, ?, ?, ?)");
    if (!insert.ok()) {
        *message = errorText(connection);
        rollBack(connection);
        return -1;
    }
    for (const HistoryMark& m : marks) {
        insert.reset();
        insert.real(1, m.ra);
        insert.real(2, m.dec);
        insert.text(3, m.kind);
        insert.text(4, m.name);
        if (sqlite3_step(insert.get()) != SQLITE_DONE) {
            *message = errorText(connection);
            rollBack(connection);
            return -1;
        }
    }
    if (execute(connection, "COMMIT", message) != 0) {
        rollBack(connection);
        return -1;
    }
    return 0;
}

int summarizeHistory(HistoryDatabase* database, HistorySummary* summary, std::string* message)
{
    sqlite3* connection = db(database);
    Statement count(connection,
                    "SELECT (SELECT count(*) FROM runs), (SELECT count(*) FROM sources),"
                    " (SELECT count(*) FROM detections),"
                    " (SELECT count(*) FROM marks WHERE kind = 'known'),"
                    " (SELECT count(*) FROM marks WHERE kind <> 'known')");
    if (!count.ok() || sqlite3_step(count.get()) != SQLITE_ROW) {
        *message = errorText(connection);
        return -1;
    }
    summary->runs = sqlite3_column_int64(count.get(), 0);
    summary->sources = sqlite3_column_int64(count.get(), 1);
    summary->detections = sqlite3_column_int64(count.get(), 2);
    summary->known = sqlite3_column_int64(count.get(), 3);
    summary->labels = sqlite3_column_int64(count.get(), 4);
    return 0;
}

int recordRun(HistoryDatabase* database, const std::vector<HistoryDetection>& detections,
              double toleranceArcsec, std::vector<HistoryEntry>* entries, std::string* message)
{
    sqlite3* connection = db(database);
    if (execute(connection, "BEGIN IMMEDIATE", message) != 0)
        return -1;
    const auto fail = [&]() {
        *message = errorText(connection);
        rollBack(connection);
        return -1;
    };
    int64_t kept = 0;
    for (const HistoryDetection& d : detections)
        kept += d.kept ? 1 : 0;
    Statement run(connection,
                  "INSERT INTO runs(recorded, detections) VALUES(strftime('%Y-%m-%dT%H:%M:%f',"
                  " 'now'), ?)");
    if (!run.ok())
        return fail();
    run.integer(1, kept);
    if (sqlite3_step(run.get()) != SQLITE_DONE)
        return fail();
    const int64_t runId = sqlite3_last_insert_rowid(connection);

    Statement nearSources(connection, "SELECT id, ra, dec FROM sources WHERE dec >= ? AND dec <= ?");
    Statement newSource(connection, "INSERT INTO sources(ra, dec) VALUES(?, ?)");
    Statement replaced(connection, "DELETE FROM detections WHERE source = ? AND image = ? AND"
                                   " observed = ? AND run <> ?");
    Statement insert(connection,
                     "INSERT INTO detections(source, run, image, number, ra, dec, observed, mjd,"
                     " night, flux) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!nearSources.ok() || !newSource.ok() || !replaced.ok() || !insert.ok())
        return fail();
    // Sources and marks are looked up in a declination band a little wider than the
    // tolerance (an index on declination); the exact distance decides.
    const double band = toleranceArcsec / 3600 * 1.001 + 1e-9;
    std::vector<int64_t> sourceOf(detections.size(), 0);
    for (size_t i = 0; i < detections.size(); ++i) {
        const HistoryDetection& d = detections[i];
        nearSources.reset();
        nearSources.real(1, d.dec - band);
        nearSources.real(2, d.dec + band);
        Near best{0, toleranceArcsec};
        int step = 0;
        while ((step = sqlite3_step(nearSources.get())) == SQLITE_ROW) {
            const double distance = skySeparationArcsec(d.ra, d.dec, nearSources.columnReal(1),
                                                        nearSources.columnReal(2));
            if (distance < best.distance) // strictly closer than the tolerance
                best = {sqlite3_column_int64(nearSources.get(), 0), distance};
        }
        if (step != SQLITE_DONE)
            return fail();
        if (!d.kept) {
            sourceOf[i] = best.id;
            continue;
        }
        if (best.id == 0) {
            newSource.reset();
            newSource.real(1, d.ra);
            newSource.real(2, d.dec);
            if (sqlite3_step(newSource.get()) != SQLITE_DONE)
                return fail();
            best.id = sqlite3_last_insert_rowid(connection);
        }
        sourceOf[i] = best.id;
        replaced.reset();
        replaced.integer(1, best.id);
        replaced.text(2, d.image);
        replaced.text(3, d.observed);
        replaced.integer(4, runId);
        if (sqlite3_step(replaced.get()) != SQLITE_DONE)
            return fail();
        insert.reset();
        insert.integer(1, best.id);
        insert.integer(2, runId);
        insert.text(3, d.image);
        insert.integer(4, d.number);
        insert.real(5, d.ra);
        insert.real(6, d.dec);
        insert.text(7, d.observed);
        insert.real(8, d.mjd);
        insert.text(9, observationNight(d.mjd, d.observed));
        insert.real(10, d.flux);
        if (sqlite3_step(insert.get()) != SQLITE_DONE)
            return fail();
    }

    // Each source's record once, then the marks on each candidate.
    Statement seen(connection, "SELECT observed, night, flux FROM detections WHERE source = ?"
                               " ORDER BY mjd IS NULL, mjd, id");
    Statement nearMarks(connection,
                        "SELECT id, ra, dec, kind, name FROM marks WHERE dec >= ? AND dec <= ?"
                        " ORDER BY id");
    if (!seen.ok() || !nearMarks.ok())
        return fail();
    std::map<int64_t, HistoryEntry> sources;
    std::vector<HistoryEntry> result(detections.size());
    for (size_t i = 0; i < detections.size(); ++i) {
        HistoryEntry& entry = result[i];
        const int64_t source = sourceOf[i];
        if (source != 0) {
            auto found = sources.find(source);
            if (found == sources.end()) {
                HistoryEntry record;
                record.source = source;
                std::map<std::string, std::pair<double, int32_t>> nights; // sum, count
                std::map<std::string, int32_t> detectionsOf;
                seen.reset();
                seen.integer(1, source);
                int step = 0;
                while ((step = sqlite3_step(seen.get())) == SQLITE_ROW) {
                    const std::string observed = seen.columnText(0);
                    if (record.timesSeen == 0)
                        record.firstSeen = observed;
                    ++record.timesSeen;
                    const std::string night = seen.columnText(1);
                    if (night.empty())
                        continue;
                    ++detectionsOf[night];
                    auto& sum = nights[night];
                    const double flux = seen.columnReal(2);
                    if (std::isfinite(flux)) {
                        sum.first += flux;
                        ++sum.second;
                    }
                }
                if (step != SQLITE_DONE)
                    return fail();
                for (const auto& [night, count] : detectionsOf) {
                    const auto& sum = nights[night];
                    NightFlux point;
                    point.night = night;
                    point.detections = count;
                    if (sum.second > 0)
                        point.flux = sum.first / sum.second;
                    record.lightCurve.push_back(point);
                }
                record.nights = static_cast<int32_t>(record.lightCurve.size());
                found = sources.emplace(source, std::move(record)).first;
            }
            entry = found->second;
        }
        const HistoryDetection& d = detections[i];
        nearMarks.reset();
        nearMarks.real(1, d.dec - band);
        nearMarks.real(2, d.dec + band);
        double knownDistance = toleranceArcsec;
        int step = 0;
        while ((step = sqlite3_step(nearMarks.get())) == SQLITE_ROW) {
            const double distance = skySeparationArcsec(d.ra, d.dec, nearMarks.columnReal(1),
                                                        nearMarks.columnReal(2));
            if (!(distance < toleranceArcsec))
                continue;
            const std::string kind = nearMarks.columnText(3);
            if (kind == "known") {
                if (entry.known.empty() || distance < knownDistance) {
                    const std::string name = nearMarks.columnText(4);
                    entry.known = name.empty() ? "known" : name;
                    knownDistance = distance;
                }
            } else {
                entry.label = kind; // the latest label wins (marks in order of entry)
            }
        }
        if (step != SQLITE_DONE)
            return fail();
        entry.flagged = entry.label == "bogus" || !entry.known.empty();
    }
    if (execute(connection, "COMMIT", message) != 0) {
        rollBack(connection);
        return -1;
    }
    *entries = std::move(result);
    return 0;
}

} // namespace newstars
