#include "search/run.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "fits/fits_read.hpp"
#include "search/image_file.hpp"
#include "sky/sexagesimal.hpp"

namespace newstars {

static constexpr double PI = 3.141592653589793;

// Longest piece of a file-of-files line read at once, line end included.
static constexpr int FILE_LIST_LINE_LENGTH = 1023;

CommandLineForm commandLineForm(int argc, char** argv)
{
    int arguments = argc - 1;
    if (arguments == 4 && std::strcmp(argv[1], "-f") == 0)
        return FILE_OF_FILES_FORM;
    if (arguments >= 3)
        return IMAGE_LIST_FORM;
    return USAGE_FORM;
}

void printUsage(const char* programName)
{
    std::fprintf(stderr, "%s: arcsec_sep config_file test1.fts ...\n", programName);
    std::fprintf(stderr, "   or\n");
    std::fprintf(stderr, "%s: -f file_of_files arcsec_sep config_file\n", programName);
    std::exit(1);
}

double toleranceFromText(const char* arcsecText)
{
    return std::atof(arcsecText) / 3600 * PI / 180;
}

// Appends one name to the list, ending the run when memory runs out.
static void addImageName(std::vector<std::string>* names, const char* name, const char* fileName)
{
    std::string copy;
    try {
        copy = name;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "No memory to add `%s' from %s\n", name, fileName);
        std::exit(1);
    }
    try {
        names->push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "No memory for more filenames in %s\n", fileName);
        std::exit(1);
    }
}

int readFileOfFiles(const char* fileName, std::vector<std::string>* names)
{
    FILE* file = std::fopen(fileName, "re");
    if (file == nullptr) {
        std::perror(fileName);
        std::exit(1);
    }
    int count = 0;
    char line[FILE_LIST_LINE_LENGTH + 1];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t length = std::strlen(line);
        if (length < 2 || line[0] == '#' || line[0] == '!')
            continue;
        if (line[length - 1] == '\n')
            line[length - 1] = '\0';
        addImageName(names, line, fileName);
        ++count;
    }
    std::fclose(file);
    return count;
}

int readOpenImage(int fd, FitsImage* image, std::string* message)
{
    initFitsImage(image);
    int status = readFitsImage(fd, image, message);
    if (status != 0)
        freeFitsImage(image);
    close(fd);
    return status == 0 ? 0 : -1;
}

int readTestImage(const char* testName, FitsImage* image, std::string* objectName)
{
    std::string message;
    int fd = openImageFile(testName, &message);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", testName, message.c_str());
        return -1;
    }
    if (readOpenImage(fd, image, &message) != 0) {
        std::fprintf(stderr, "%s: %s\n", testName, message.c_str());
        return -1;
    }
    if (getStringCard(image, "OBJECT", objectName) < 0) {
        std::fprintf(stderr, "%s: no OBJECT field\n", testName);
        freeFitsImage(image);
        return -1;
    }
    size_t end = objectName->find_last_not_of(' ');
    objectName->erase(end == std::string::npos ? 0 : end + 1);
    return 0;
}

int readReferenceImage(SearchRun* run, FILE* table, const char* objectName, FitsImage* image,
                       ReferenceEntry* entry)
{
    std::string message;
    while (findReferenceEntry(table, objectName, &run->box, entry) == 0) {
        const char* referenceName = entry->referenceName.c_str();
        int fd = openImageFile(referenceName, &message);
        if (fd < 0) {
            std::fprintf(stderr, "%s: %s\n", referenceName, message.c_str());
            continue;
        }
        if (readOpenImage(fd, image, &message) != 0) {
            std::fprintf(stderr, "%s: %s\n", referenceName, message.c_str());
            std::exit(1);
        }
        return 0;
    }
    std::fprintf(stderr, "No reference file listed for object %s\n", objectName);
    return -1;
}

void processTestImage(SearchRun* run, FILE* table, const char* testName)
{
    FitsImage test;
    std::string objectName;
    if (readTestImage(testName, &test, &objectName) != 0)
        return;
    FitsImage reference;
    ReferenceEntry entry;
    if (readReferenceImage(run, table, objectName.c_str(), &reference, &entry) == 0) {
        compareImages(run, &reference, &test, entry.referenceName.c_str(), testName,
                      objectName.c_str());
        freeFitsImage(&reference);
    }
    freeFitsImage(&test);
}

void printCandidates(const CandidateList* list)
{
    std::fputs("\f\n", stdout);
    for (size_t i = 0; i < list->lines.size(); ++i) {
        if (i > 0 && compareNoCaseN(list->lines[i].c_str(), list->lines[i - 1].c_str(), 12) != 0)
            std::fputs("\n", stdout);
        std::fputs(list->lines[i].c_str(), stdout);
        std::fputs("\n", stdout);
    }
}

int runSearch(int argc, char** argv)
{
    CommandLineForm form = commandLineForm(argc, argv);
    if (form == USAGE_FORM)
        printUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "newstars");

    const char* toleranceText = form == FILE_OF_FILES_FORM ? argv[3] : argv[1];
    const char* tableName = form == FILE_OF_FILES_FORM ? argv[4] : argv[2];
    SearchRun run;
    run.tolerance = toleranceFromText(toleranceText);

    std::vector<std::string> imageNames;
    if (form == FILE_OF_FILES_FORM) {
        if (readFileOfFiles(argv[2], &imageNames) == 0) {
            std::fprintf(stderr, "%s contains no files\n", argv[2]);
            std::exit(1);
        }
    } else {
        for (int i = 3; i < argc; ++i)
            imageNames.emplace_back(argv[i]);
    }

    FILE* table = std::fopen(tableName, "re");
    if (table == nullptr) {
        std::perror(tableName);
        std::exit(1);
    }
    for (const std::string& name : imageNames) {
        processTestImage(&run, table, name.c_str());
        std::rewind(table);
    }
    printCandidates(&run.candidates);
    return 0;
}

} // namespace newstars
