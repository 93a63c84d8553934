#include "night_recover.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/angles.hpp"
#include "base/text.hpp"

bool parseSexagesimalText(const std::string& text, double* value)
{
    const char* p = text.c_str();
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    double parts[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        if (*p < '0' || *p > '9')
            return false;
        char* end = nullptr;
        parts[k] = std::strtod(p, &end);
        p = end;
        if (*p == '\0')
            break;
        if (*p != ':' || k == 2)
            return false;
        ++p;
    }
    if (*p != '\0')
        return false;
    const double v = parts[0] + parts[1] / 60 + parts[2] / 3600;
    *value = negative ? -v : v;
    return true;
}

bool parseCandidateLine(const std::string& line, ReportCandidate* candidate)
{
    std::istringstream in(line);
    std::string object, image, ra, dec, extra;
    if (!(in >> object >> image >> ra >> dec) || (in >> extra))
        return false;
    double raHours = 0, decDegrees = 0;
    if (!parseSexagesimalText(ra, &raHours) || !parseSexagesimalText(dec, &decDegrees))
        return false;
    candidate->object = object;
    candidate->image = image;
    candidate->raHours = raHours;
    candidate->decDegrees = decDegrees;
    return true;
}

double candidateDistance(const ReportCandidate& candidate, double raHours, double decDegrees)
{
    double dRa = candidate.raHours - raHours;
    if (dRa > 12)
        dRa -= 24;
    if (dRa < -12)
        dRa += 24;
    const double raSlack = std::max(0.0, std::fabs(dRa) * 3600 - 0.05); // seconds of time
    const double decSlack =
        std::max(0.0, std::fabs(candidate.decDegrees - decDegrees) * 3600 - 0.5);
    const double raArcsec = raSlack * 15 * std::cos(newstars::degreesToRadians(decDegrees));
    return std::sqrt(raArcsec * raArcsec + decSlack * decSlack);
}

bool clearlyDetectable(const TruthSource& source)
{
    return source.inBox && source.peak >= 20 * source.sigma &&
           source.peak + source.sky + 5 * source.sigma < 65535;
}

// Opens path for reading; 0, or -1 with "path: reason" in *message.
static int openInput(const char* path, std::ifstream* in, std::string* message)
{
    in->open(path);
    if (!*in) {
        *message = std::string(path) + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

int readTruthFile(const char* path, std::vector<TruthSource>* sources, std::string* message)
{
    std::ifstream in;
    if (openInput(path, &in, message) != 0)
        return -1;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        TruthSource s;
        int inBox = 0;
        if (!(fields >> s.object >> s.image >> s.raHours >> s.decDegrees >> s.peak >> s.sky >>
              s.sigma >> s.x >> s.y >> inBox)) {
            *message = std::string(path) + ": bad line: " + line;
            return -1;
        }
        s.inBox = inBox != 0;
        sources->push_back(s);
    }
    return 0;
}

int readReportCandidates(const char* path, std::vector<ReportCandidate>* candidates,
                         std::string* message)
{
    std::ifstream in;
    if (openInput(path, &in, message) != 0)
        return -1;
    std::string line;
    bool inCandidates = false;
    while (std::getline(in, line)) {
        if (!inCandidates) {
            inCandidates = line == "\f";
            continue;
        }
        if (line == "\f")
            break; // the track lines of --link-moving follow
        if (line.empty())
            continue;
        ReportCandidate c;
        if (!parseCandidateLine(line, &c)) {
            *message = std::string(path) + ": bad candidate line: " + line;
            return -1;
        }
        candidates->push_back(c);
    }
    if (!inCandidates) {
        *message = std::string(path) + ": no candidate list (form-feed line) found";
        return -1;
    }
    return 0;
}

RecoveryCounts countRecovered(const std::vector<TruthSource>& sources,
                              const std::vector<ReportCandidate>& candidates,
                              double toleranceArcsec)
{
    RecoveryCounts counts;
    counts.injected = static_cast<int>(sources.size());
    counts.candidates = static_cast<int>(candidates.size());
    std::vector<bool> used(candidates.size(), false);
    for (const TruthSource& s : sources) {
        const bool detectable = clearlyDetectable(s);
        if (detectable)
            ++counts.detectable;
        bool found = false;
        for (size_t k = 0; k < candidates.size(); ++k) {
            const ReportCandidate& c = candidates[k];
            if (c.object != s.object || c.image != newstars::baseName(s.image.c_str()))
                continue;
            if (candidateDistance(c, s.raHours, s.decDegrees) <= toleranceArcsec) {
                used[k] = true;
                found = true;
            }
        }
        if (found) {
            ++counts.recovered;
            if (detectable)
                ++counts.detectableRecovered;
        }
    }
    counts.unmatchedCandidates = static_cast<int>(std::count(used.begin(), used.end(), false));
    return counts;
}

namespace {

// Distance, arcseconds, from (raHours, decDegrees) to the segment, in the plane tangent
// at the point, less the report's rounding (0.05 s of time, 0.5 arcseconds).
double segmentDistance(const CauseSegment& c, double raHours, double decDegrees)
{
    const double cosDec = std::cos(decDegrees * newstars::PI / 180);
    const auto east = [&](double ra) {
        double d = ra - raHours;
        if (d > 12)
            d -= 24;
        if (d < -12)
            d += 24;
        return d * 15 * 3600 * cosDec;
    };
    const double ax = east(c.raHours0), ay = (c.decDegrees0 - decDegrees) * 3600;
    const double bx = east(c.raHours1), by = (c.decDegrees1 - decDegrees) * 3600;
    const double dx = bx - ax, dy = by - ay;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? -(ax * dx + ay * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const double px = ax + t * dx, py = ay + t * dy;
    const double slack = std::hypot(0.05 * 15 * cosDec, 0.5);
    return std::max(0.0, std::hypot(px, py) - slack);
}

// Splits one CSV line into fields; quotes group, a doubled quote inside stands for one.
std::vector<std::string> splitCsv(const std::string& line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

} // namespace

int readCausesFile(const char* path, std::vector<CauseSegment>* causes, std::string* message)
{
    std::ifstream in;
    if (openInput(path, &in, message) != 0)
        return -1;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        CauseSegment c;
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        if (!(fields >> c.cause >> c.object >> c.image >> c.raHours0 >> c.decDegrees0 >>
              c.raHours1 >> c.decDegrees1 >> x0 >> y0 >> x1 >> y1)) {
            *message = std::string(path) + ": bad line: " + line;
            return -1;
        }
        causes->push_back(c);
    }
    return 0;
}

int readCatalogCandidates(const char* path, std::vector<ReportCandidate>* candidates,
                          std::string* message)
{
    std::ifstream in;
    if (openInput(path, &in, message) != 0)
        return -1;
    std::string line;
    std::vector<std::string> names;
    const char* wanted[] = {"object", "image", "ra", "dec", "verdict"};
    size_t column[5] = {0, 0, 0, 0, 0};
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#')
            continue;
        const std::vector<std::string> fields = splitCsv(line);
        if (names.empty()) {
            names = fields;
            for (size_t k = 0; k < 5; ++k) {
                const auto at = std::find(names.begin(), names.end(), wanted[k]);
                if (at == names.end()) {
                    *message = std::string(path) + ": no column " + wanted[k];
                    return -1;
                }
                column[k] = static_cast<size_t>(at - names.begin());
            }
            continue;
        }
        if (fields.size() != names.size()) {
            *message = std::string(path) + ": bad row: " + line;
            return -1;
        }
        ReportCandidate c;
        c.object = fields[column[0]];
        c.image = fields[column[1]];
        char* end = nullptr;
        c.raHours = std::strtod(fields[column[2]].c_str(), &end) / 15;
        c.decDegrees = std::strtod(fields[column[3]].c_str(), &end);
        c.rejected = fields[column[4]] == "rejected";
        candidates->push_back(c);
    }
    if (names.empty()) {
        *message = std::string(path) + ": no column names";
        return -1;
    }
    return 0;
}

CauseScore scoreByCause(const std::vector<TruthSource>& sources,
                        const std::vector<CauseSegment>& causes,
                        const std::vector<ReportCandidate>& candidates, double toleranceArcsec)
{
    CauseScore score;
    const auto tally = [&](const std::string& cause, bool rejected) {
        size_t k = 0;
        while (k < score.causes.size() && score.causes[k] != cause)
            ++k;
        if (k == score.causes.size()) {
            score.causes.push_back(cause);
            score.kept.push_back(0);
            score.rejected.push_back(0);
        }
        ++(rejected ? score.rejected : score.kept)[k];
    };
    tally("injected", false);
    --score.kept[0];
    std::vector<int> brightState(sources.size(), 0); // 1 found, 2 found and kept
    for (const ReportCandidate& c : candidates) {
        bool injected = false;
        for (size_t s = 0; s < sources.size(); ++s) {
            const TruthSource& t = sources[s];
            if (c.object != t.object || c.image != newstars::baseName(t.image.c_str()) ||
                candidateDistance(c, t.raHours, t.decDegrees) > toleranceArcsec)
                continue;
            injected = true;
            if (t.peak >= 10 * t.sigma)
                brightState[s] = std::max(brightState[s], c.rejected ? 1 : 2);
        }
        if (injected) {
            tally("injected", c.rejected);
            continue;
        }
        const CauseSegment* nearest = nullptr;
        double best = CAUSE_RADIUS_ARCSEC;
        for (const CauseSegment& cause : causes) {
            if (cause.object != c.object || newstars::baseName(cause.image.c_str()) != c.image)
                continue;
            const double d = segmentDistance(cause, c.raHours, c.decDegrees);
            if (d <= best) {
                best = d;
                nearest = &cause;
            }
        }
        tally(nearest != nullptr ? nearest->cause : "other", c.rejected);
    }
    for (int state : brightState) {
        score.brightFound += state > 0 ? 1 : 0;
        score.brightRejected += state == 1 ? 1 : 0;
    }
    return score;
}

std::string formatCauseTable(const CauseScore& score)
{
    std::string text = "cause              kept  rejected\n";
    int kept = 0, rejected = 0;
    char line[128];
    for (size_t k = 0; k < score.causes.size(); ++k) {
        std::snprintf(line, sizeof line, "%-16s %6d %9d\n", score.causes[k].c_str(), score.kept[k],
                      score.rejected[k]);
        text += line;
        if (k > 0) {
            kept += score.kept[k];
            rejected += score.rejected[k];
        }
    }
    std::snprintf(line, sizeof line, "%-16s %6d %9d\n", "false (all)", kept, rejected);
    text += line;
    std::snprintf(line, sizeof line,
                  "injected sources >= 10 sigma found: %d, of them rejected: %d\n",
                  score.brightFound, score.brightRejected);
    text += line;
    return text;
}
