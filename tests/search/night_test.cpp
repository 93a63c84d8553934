// End-to-end tests on a simulated night: simnight generates reference and test images
// with injected new sources, newstars searches them, and the report is held against the
// truth file. Also checks the generated images with CFITSIO and WCSLIB, and simnight's
// own option handling and recovery count.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fitsio.h>
#include <gtest/gtest.h>
#include <wcslib/wcslib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double PI_VALUE = 3.141592653589793;

struct NightProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the program at arguments[0] in directory without a shell, with the build's bin
// directory first on PATH (newstars finds fdecomp there), collecting its output.
NightProgramResult runNightProgram(const std::string& directory, const std::vector<std::string>& arguments) {
    const std::string outPath = directory + "/.stdout";
    const std::string errPath = directory + "/.stderr";
    const char* oldPath = std::getenv("PATH");
    std::string pathVariable = std::string("PATH=") + NEWSTARS_BIN_DIR + ":" + (oldPath ? oldPath : "/usr/bin:/bin");
    std::vector<std::string> environment = {pathVariable};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) != 0) environment.push_back(*e);
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    NightProgramResult result;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(directory.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = readWholeFile(outPath);
    result.err = readWholeFile(errPath);
    return result;
}

const std::string SIMNIGHT = NEWSTARS_BIN_DIR "/simnight";
const std::string NEWSTARS = NEWSTARS_BIN_DIR "/newstars";

// A fresh directory, removed with its contents at the end of the test.
struct NightDirectory {
    std::string path;
    NightDirectory() {
        char name[] = "/tmp/night_test_XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~NightDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    NightDirectory(const NightDirectory&) = delete;
    NightDirectory& operator=(const NightDirectory&) = delete;
};

// [-]a:b:c as a + b/60 + c/3600, the sign applying to the whole.
bool readSexagesimal(const std::string& text, double* value) {
    double a = 0, b = 0, c = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (std::sscanf(text.c_str() + (negative ? 1 : 0), "%lf:%lf:%lf", &a, &b, &c) != 3) return false;
    *value = (a + b / 60 + c / 3600) * (negative ? -1 : 1);
    return true;
}

struct NightCandidate {
    std::string object, image;
    double raHours = 0, decDegrees = 0;
};

struct NightBoxRecord {
    double eastHours = 0, northDegrees = 0, westHours = 0, southDegrees = 0;
};

struct NightTruth {
    std::string object, image;
    double raHours = 0, decDegrees = 0, peak = 0, sky = 0, sigma = 0, x = 0, y = 0;
};

// Splits a report into summary lines and candidate lines (those after the form feed).
void splitReport(const std::string& report, std::vector<std::string>* summaries,
                 std::vector<NightCandidate>* candidates) {
    std::istringstream in(report);
    std::string line;
    bool afterFormFeed = false;
    while (std::getline(in, line)) {
        if (line == "\f") {
            afterFormFeed = true;
        } else if (!afterFormFeed) {
            summaries->push_back(line);
        } else if (!line.empty()) {
            std::istringstream fields(line);
            NightCandidate c;
            std::string ra, dec;
            fields >> c.object >> c.image >> ra >> dec;
            ASSERT_TRUE(readSexagesimal(ra, &c.raHours) && readSexagesimal(dec, &c.decDegrees)) << line;
            candidates->push_back(c);
        }
    }
    ASSERT_TRUE(afterFormFeed) << report;
}

std::map<std::string, NightBoxRecord> readNightTable(const std::string& path) {
    std::map<std::string, NightBoxRecord> boxes;
    std::istringstream in(readWholeFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string object, era, ndec, wra, sdec, reference;
        fields >> object >> era >> ndec >> wra >> sdec >> reference;
        NightBoxRecord box;
        EXPECT_TRUE(readSexagesimal(era, &box.eastHours) && readSexagesimal(ndec, &box.northDegrees) &&
                    readSexagesimal(wra, &box.westHours) && readSexagesimal(sdec, &box.southDegrees))
            << line;
        boxes[object] = box;
    }
    return boxes;
}

std::vector<NightTruth> readNightTruth(const std::string& path) {
    std::vector<NightTruth> sources;
    std::istringstream in(readWholeFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        NightTruth s;
        int inBox = 0;
        fields >> s.object >> s.image >> s.raHours >> s.decDegrees >> s.peak >> s.sky >> s.sigma >> s.x >> s.y >>
            inBox;
        EXPECT_FALSE(fields.fail()) << line;
        sources.push_back(s);
    }
    return sources;
}

// Printed right ascension stands for an interval of 0.1 s of time, printed declination
// for one of 1 arcsecond. The distance, arcseconds, from the truth to the nearest
// position that prints as the candidate does.
double distanceToPrinted(const NightCandidate& c, double raHours, double decDegrees) {
    const double raSeconds = std::fmax(0, std::fabs(c.raHours - raHours) * 3600 - 0.05);
    const double decArcsec = std::fmax(0, std::fabs(c.decDegrees - decDegrees) * 3600 - 0.5);
    const double raArcsec = raSeconds * 15 * std::cos(decDegrees * PI_VALUE / 180);
    return std::hypot(raArcsec, decArcsec);
}

bool insideTableBox(const NightBoxRecord& box, double raHours, double decDegrees, double marginArcsec) {
    const double m = marginArcsec / 3600;
    const double mRa = m / 15 / std::cos(decDegrees * PI_VALUE / 180);
    return raHours >= box.westHours + mRa && raHours <= box.eastHours - mRa && decDegrees >= box.southDegrees + m &&
           decDegrees <= box.northDegrees - m;
}

TEST(SimulatedNight, NewstarsRecoversInjectedSourcesInsideTheBox) {
    NightDirectory night;
    ASSERT_FALSE(night.path.empty());
    const NightProgramResult made =
        runNightProgram(night.path, {SIMNIGHT, "--seed", "7", "--size", "640", "--objects", "2", "--images", "3",
                                     "--inject", "14", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const NightProgramResult run = runNightProgram(night.path, {NEWSTARS, "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> summaries;
    std::vector<NightCandidate> candidates;
    splitReport(run.out, &summaries, &candidates);
    EXPECT_EQ(summaries.size(), 6u) << run.out << run.err;  // every test image compared

    const std::map<std::string, NightBoxRecord> boxes = readNightTable(night.path + "/table.txt");
    ASSERT_EQ(boxes.size(), 2u);
    for (const NightCandidate& c : candidates) {
        ASSERT_EQ(boxes.count(c.object), 1u) << c.object;
        // Some position that prints as the candidate's text lies inside the box.
        EXPECT_TRUE(insideTableBox(boxes.at(c.object), c.raHours, c.decDegrees, -1.1))
            << c.object << " " << c.image << " " << c.raHours << " " << c.decDegrees;
    }

    const std::vector<NightTruth> truth = readNightTruth(night.path + "/truth.txt");
    int detectable = 0, recovered = 0;
    for (const NightTruth& s : truth) {
        // Clearly detectable: 20 noise units or more, unsaturated, inside the box by more
        // than the margin newstars takes off it (tolerance / cos(mean declination)) and
        // well away from the image edges.
        const NightBoxRecord& box = boxes.at(s.object);
        const double margin = 2 / std::cos((box.northDegrees + box.southDegrees) / 2 * PI_VALUE / 180) + 0.5;
        const bool clear = s.peak >= 20 * s.sigma && s.peak + s.sky + 5 * s.sigma < 65535 &&
                           insideTableBox(boxes.at(s.object), s.raHours, s.decDegrees, margin) && s.x >= 40 &&
                           s.y >= 40 && s.x <= 640 - 41 && s.y <= 640 - 41;
        if (!clear) continue;
        ++detectable;
        // The nearest candidate of the same image within 5 arcseconds is this source's
        // detection; its printed position must be within 1 arcsecond of the truth.
        const NightCandidate* nearest = nullptr;
        double best = 5;
        for (const NightCandidate& c : candidates) {
            if (c.object != s.object || c.image != s.image) continue;
            const double d = distanceToPrinted(c, s.raHours, s.decDegrees);
            if (d < best) {
                best = d;
                nearest = &c;
            }
        }
        if (nearest == nullptr) continue;
        ++recovered;
        EXPECT_LE(best, 1.0) << s.object << " " << s.image << " truth " << s.raHours << " " << s.decDegrees;
    }
    EXPECT_GE(detectable, 20) << "too few clearly detectable sources for a meaningful rate";
    EXPECT_GE(recovered * 10, detectable * 9) << recovered << " of " << detectable << "\n" << run.out;
}

// Reads the primary header of a plain FITS file into a WCSLIB description.
struct FitsWcs {
    fitsfile* file = nullptr;
    wcsprm* wcs = nullptr;
    int count = 0;
    ~FitsWcs() {
        if (wcs != nullptr) wcsvfree(&count, &wcs);
        int status = 0;
        if (file != nullptr) fits_close_file(file, &status);
    }
};

TEST(SimulatedNight, ImagesPlaceInjectedSourcesWhereWcslibPutsTheirSkyPositions) {
    NightDirectory night;
    const NightProgramResult made =
        runNightProgram(night.path, {SIMNIGHT, "--seed", "3", "--size", "512", "--objects", "1", "--images", "1",
                                     "--inject", "6", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<NightTruth> truth = readNightTruth(night.path + "/truth.txt");
    ASSERT_EQ(truth.size(), 6u);

    FitsWcs image;
    int status = 0;
    const std::string path = night.path + "/" + truth[0].image;
    ASSERT_EQ(fits_open_file(&image.file, path.c_str(), READONLY, &status), 0) << path;
    char* header = nullptr;
    int cards = 0;
    ASSERT_EQ(fits_hdr2str(image.file, 1, nullptr, 0, &header, &cards, &status), 0);
    int rejected = 0;
    const int parsed = wcspih(header, cards, WCSHDR_all, 0, &rejected, &image.count, &image.wcs);
    fits_free_memory(header, &status);
    ASSERT_EQ(parsed, 0);
    ASSERT_EQ(image.count, 1);
    ASSERT_EQ(wcsset(image.wcs), 0);

    struct Card { const char* keyword; const char* expected; };
    const Card expected[] = {{"BITPIX", "16"},       {"BZERO", "32768"},        {"OBJECT", "FLD01"},
                             {"CTYPE1", "RA---TAN"}, {"CTYPE2", "DEC--TAN"}};
    for (const Card& c : expected) {
        char value[FLEN_VALUE] = "", comment[FLEN_COMMENT] = "";
        status = 0;
        ASSERT_EQ(fits_read_keyword(image.file, c.keyword, value, comment, &status), 0) << c.keyword;
        std::string text = value;
        if (!text.empty() && text[0] == '\'') {
            text = text.substr(1, text.find_last_not_of(" '") );
        }
        EXPECT_EQ(text, c.expected) << c.keyword;
    }
    for (const char* keyword : {"CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2", "CDELT1", "CDELT2", "CROTA2", "DATE-OBS",
                                "TIME-OBS"}) {
        char value[FLEN_VALUE] = "", comment[FLEN_COMMENT] = "";
        status = 0;
        EXPECT_EQ(fits_read_keyword(image.file, keyword, value, comment, &status), 0) << keyword;
    }

    for (const NightTruth& s : truth) {
        double world[2] = {s.raHours * 15, s.decDegrees}, intermediate[2], pixel[2], phi = 0, theta = 0;
        int stat = 0;
        ASSERT_EQ(wcss2p(image.wcs, 1, 2, world, &phi, &theta, intermediate, pixel, &stat), 0);
        // This system uses positions directly against CRPIX (no offset of one), as
        // WCSLIB does with pixel coordinates; truth positions carry 3 decimals.
        EXPECT_NEAR(pixel[0], s.x, 2e-3) << s.raHours << " " << s.decDegrees;
        EXPECT_NEAR(pixel[1], s.y, 2e-3) << s.raHours << " " << s.decDegrees;
        // The pixel nearest the centre holds sky plus nearly the whole peak (at most
        // 0.71 pixels from the centre, seeing of 2.6 pixels or more), within the noise.
        const long column = std::lround(s.x), row = std::lround(s.y);
        long first[2] = {column + 1, row + 1};
        unsigned short value = 0;
        int anyNull = 0;
        status = 0;
        ASSERT_EQ(fits_read_pix(image.file, TUSHORT, first, 1, nullptr, &value, &anyNull, &status), 0);
        const double above = value - s.sky;
        EXPECT_GE(above, 0.7 * s.peak - 6 * s.sigma) << column << "," << row << " peak " << s.peak;
        EXPECT_LE(above, s.peak + 6 * s.sigma) << column << "," << row << " peak " << s.peak;
    }
}

TEST(SimulatedNight, SameSeedGivesIdenticalFilesAndAnotherSeedDifferentImages) {
    NightDirectory first, second, third;
    const std::vector<std::string> options = {"--size", "256", "--objects", "1", "--images", "1", "--no-fpack",
                                              "--out", "."};
    std::vector<std::string> a = {SIMNIGHT, "--seed", "11"}, b = a, c = {SIMNIGHT, "--seed", "12"};
    for (auto* args : {&a, &b, &c}) args->insert(args->end(), options.begin(), options.end());
    ASSERT_EQ(runNightProgram(first.path, a).status, 0);
    ASSERT_EQ(runNightProgram(second.path, b).status, 0);
    ASSERT_EQ(runNightProgram(third.path, c).status, 0);
    for (const char* name : {"FLD01_r.fts", "FLD01_1.fts", "table.txt", "files.txt", "truth.txt"}) {
        const std::string one = readWholeFile(first.path + "/" + name);
        EXPECT_FALSE(one.empty()) << name;
        EXPECT_EQ(one, readWholeFile(second.path + "/" + name)) << name;
    }
    EXPECT_NE(readWholeFile(first.path + "/FLD01_1.fts"), readWholeFile(third.path + "/FLD01_1.fts"));
}

TEST(SimulatedNight, RecoveryCountAllowsForThePrintedRounding) {
    NightDirectory night;
    // Truth at 10:30:00.00 +20:00:00 and 10:31:00.00 -0:10:00 (exact in the file).
    std::ofstream(night.path + "/truth.txt")
        << "# object image ra dec peak sky sigma x y inbox\n"
           "F1 F1_1.fts 10.5000000000 20.0000000 1000.0 1000.0 20.0 100 100 1\n"
           "F1 F1_1.fts 10.5166666667 -0.1666667 100.0 1000.0 20.0 200 200 1\n"
           "F1 F1_2.fts 10.5000000000 20.0000000 1000.0 1000.0 20.0 100 100 0\n";
    struct Case { const char* candidates; const char* expected; };
    const Case cases[] = {
        // 0.1 s of time off: within the rounding (0.05 s) plus 0.75 arcsec at cos 20 degrees.
        {"F1           F1_1.fts     10:30:00.1  20:00:00\n", "recovered 1 of 3 injected sources (1 of 1 "},
        // 0.2 s of time: 0.15 s beyond the rounding, 2.1 arcseconds.
        {"F1           F1_1.fts     10:30:00.2  20:00:00\n", "recovered 0 of 3 injected sources (0 of 1 "},
        // 1 arcsecond in declination: 0.5 beyond the rounding.
        {"F1           F1_1.fts     10:30:00.0  20:00:01\n", "recovered 1 of 3 injected sources (1 of 1 "},
        {"F1           F1_1.fts     10:30:00.0  19:59:58\n", "recovered 0 of 3 injected sources (0 of 1 "},
        // The faint source, south of the equator, and a line of another image.
        {"F1           F1_1.fts     10:31:00.0  -0:10:00\n"
         "F1           F1_2.fts     10:30:00.0  20:00:00\n",
         "recovered 2 of 3 injected sources (0 of 1 "},
        // The right position in the wrong image recovers nothing.
        {"F1           F1_2.fts     10:31:00.0  -0:10:00\n", "recovered 0 of 3 injected sources (0 of 1 "},
    };
    for (const Case& c : cases) {
        std::ofstream(night.path + "/report.txt") << "F1 F1_r.fts F1_1.fts 01/01/26 00:00:00 1 1 1\n\f\n"
                                                  << c.candidates;
        const NightProgramResult r = runNightProgram(night.path, {SIMNIGHT, "recover", "report.txt", "truth.txt"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind(c.expected, 0), 0u) << c.candidates << r.out;
    }
}

TEST(SimulatedNight, BadOptionsPrintTheUsage) {
    NightDirectory night;
    const std::vector<std::vector<std::string>> cases = {
        {},                                      // no output directory
        {"--out", ".", "--size", "100"},         // too small
        {"--out", ".", "--size", "512x"},        // incomplete size
        {"--out", ".", "--objects", "0"},        // no field
        {"--out", ".", "--images", "1.5"},       // not a whole number
        {"--out", ".", "--seed", "-3"},          // negative seed
        {"--out", ".", "--bright"},              // unknown option
        {"--out"},                               // missing value
        {"recover", "report.txt"},               // recover needs two files
    };
    for (const auto& arguments : cases) {
        std::vector<std::string> argv = {SIMNIGHT};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const NightProgramResult r = runNightProgram(night.path, argv);
        std::string shown;
        for (const auto& a : arguments) shown += a + " ";
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << shown;
        EXPECT_FALSE(std::filesystem::exists(night.path + "/table.txt")) << shown;
    }
}

}  // namespace
