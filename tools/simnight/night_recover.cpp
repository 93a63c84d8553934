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

int readTruthFile(const char* path, std::vector<TruthSource>* sources, std::string* message)
{
    std::ifstream in(path);
    if (!in) {
        *message = std::string(path) + ": " + std::strerror(errno);
        return -1;
    }
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
    std::ifstream in(path);
    if (!in) {
        *message = std::string(path) + ": " + std::strerror(errno);
        return -1;
    }
    std::string line;
    bool inCandidates = false;
    while (std::getline(in, line)) {
        if (!inCandidates) {
            inCandidates = line == "\f";
            continue;
        }
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
