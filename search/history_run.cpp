#include "search/history_run.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "base/text.hpp"
#include "history/marks_file.hpp"

namespace newstars {

namespace {

CandidateHistory candidateHistory(const HistoryEntry& entry)
{
    CandidateHistory h;
    h.present = true;
    h.source = entry.source;
    h.firstSeen = entry.firstSeen;
    h.timesSeen = entry.timesSeen;
    h.nights = entry.nights;
    for (const NightFlux& point : entry.lightCurve)
        h.lightCurve.push_back({point.night, point.flux});
    h.label = entry.label;
    h.known = entry.known;
    h.flagged = entry.flagged;
    return h;
}

template <typename Row>
int recordDetections(HistoryDatabase* database, double toleranceArcsec,
                     const std::vector<HistoryDetection>& detections, std::vector<Row>* rows,
                     std::string* message)
{
    std::vector<HistoryEntry> entries;
    if (recordRun(database, detections, toleranceArcsec, &entries, message) != 0)
        return -1;
    for (size_t i = 0; i < rows->size() && i < entries.size(); ++i)
        (*rows)[i].history = candidateHistory(entries[i]);
    return 0;
}

HistoryDetection detectionOf(const std::string& image, int32_t number, double ra, double dec,
                             const ObservedAt& observed, double flux, bool kept)
{
    HistoryDetection d;
    d.image = image;
    d.number = number;
    d.ra = ra;
    d.dec = dec;
    d.observed = observed.iso;
    d.mjd = observed.mjd;
    d.flux = flux;
    d.kept = kept;
    return d;
}

} // namespace

double catalogDifferenceFlux(const CatalogRow& row)
{
    const CandidateVetting& v = row.vetting;
    if (!v.measured)
        return std::numeric_limits<double>::quiet_NaN();
    const double reference = v.referenceFlux.flux * row.stars.fluxScale;
    if (v.referenceMeasured && std::isfinite(reference))
        return v.testFlux.flux - reference;
    return v.testFlux.flux;
}

int recordRowsHistory(HistoryDatabase* database, double toleranceArcsec, bool vet,
                      std::vector<CatalogRow>* rows, std::string* message)
{
    std::vector<HistoryDetection> detections;
    for (const CatalogRow& r : *rows)
        detections.push_back(detectionOf(r.image, r.number, r.ra, r.dec, r.observed,
                                         catalogDifferenceFlux(r),
                                         !vet || r.vetting.reasons == 0));
    return recordDetections(database, toleranceArcsec, detections, rows, message);
}

int recordRowsHistory(HistoryDatabase* database, double toleranceArcsec,
                      std::vector<DifferenceRow>* rows, std::string* message)
{
    std::vector<HistoryDetection> detections;
    for (const DifferenceRow& r : *rows)
        detections.push_back(
            detectionOf(r.image, r.number, r.ra, r.dec, r.observed, r.flux, r.reasons.empty()));
    return recordDetections(database, toleranceArcsec, detections, rows, message);
}

int runHistoryCommand(int argc, char** argv, const char* programName, FILE* out, FILE* err)
{
    struct MarksFile {
        bool known = false;
        std::string path;
    };
    std::vector<MarksFile> files;
    int i = 1;
    for (; i < argc && argv[i] != nullptr; ++i) {
        std::string word = argv[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word.rfind("--", 0) != 0)
            break;
        std::string value;
        const size_t equals = word.find('=');
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
            word.resize(equals);
        } else if (word == "--known" || word == "--labels") {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                std::fprintf(err, "%s: history: %s needs a value\n", programName, word.c_str());
                return 1;
            }
            value = argv[++i];
        }
        if (word != "--known" && word != "--labels") {
            std::fprintf(err, "%s: history: unknown option %s\n", programName,
                         printableText(word.c_str()).c_str());
            return 1;
        }
        if (value.empty()) {
            std::fprintf(err, "%s: history: %s needs a name\n", programName, word.c_str());
            return 1;
        }
        files.push_back({word == "--known", value});
    }
    if (argc - i != 1) {
        std::fprintf(err,
                     "usage: %s history [--known CATALOG] [--labels labels.csv] HISTORY\n",
                     programName);
        return 1;
    }
    const std::string historyPath = argv[i];
    // Every file is read before the history is touched.
    std::vector<HistoryMark> marks;
    std::vector<size_t> counts;
    std::string message;
    for (const MarksFile& f : files) {
        const size_t before = marks.size();
        if ((f.known ? readKnownObjects(f.path, &marks, &message)
                     : readPageLabels(f.path, &marks, &message)) != 0) {
            std::fprintf(err, "%s: %s\n", programName, printableText(message.c_str()).c_str());
            return 1;
        }
        counts.push_back(marks.size() - before);
    }
    HistoryDatabase database;
    if (openHistory(historyPath, &database, &message) != 0 ||
        (!marks.empty() && addMarks(&database, marks, &message) != 0)) {
        std::fprintf(err, "%s: %s\n", programName, printableText(message.c_str()).c_str());
        return 1;
    }
    for (size_t k = 0; k < files.size(); ++k) {
        std::fprintf(out, "%s: %zu %s\n", printableText(files[k].path.c_str()).c_str(),
                     counts[k],
                     files[k].known ? (counts[k] == 1 ? "known object marked" : "known objects marked")
                                    : (counts[k] == 1 ? "label imported" : "labels imported"));
    }
    if (files.empty()) {
        HistorySummary summary;
        if (summarizeHistory(&database, &summary, &message) != 0) {
            std::fprintf(err, "%s: %s: %s\n", programName,
                         printableText(historyPath.c_str()).c_str(), message.c_str());
            return 1;
        }
        std::fprintf(out,
                     "%s: %lld runs, %lld sources, %lld detections, %lld known objects, "
                     "%lld labels\n",
                     printableText(historyPath.c_str()).c_str(),
                     static_cast<long long>(summary.runs), static_cast<long long>(summary.sources),
                     static_cast<long long>(summary.detections),
                     static_cast<long long>(summary.known), static_cast<long long>(summary.labels));
    }
    return 0;
}

} // namespace newstars
