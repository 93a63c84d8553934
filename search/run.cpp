#include "search/run.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/angles.hpp"
#include "base/file_descriptor.hpp"
#include "fits/fits_read.hpp"
#include "search/image_file.hpp"
#include "sky/sexagesimal.hpp"

namespace newstars {

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
    std::fprintf(stderr, "   either form may start with --wcs auto|classic|fits\n");
}

int takeWcsOption(int argc, char** argv, WcsMode* mode, int* used)
{
    *used = 0;
    if (argc < 2 || argv[1] == nullptr || std::strncmp(argv[1], "--wcs", 5) != 0)
        return 0;
    const char* value = nullptr;
    if (argv[1][5] == '=') {
        value = argv[1] + 6;
        *used = 1;
    } else if (argv[1][5] == '\0' && argc >= 3) {
        value = argv[2];
        *used = 2;
    } else if (argv[1][5] != '\0') {
        return 0; // another word that merely starts with --wcs
    }
    if (value == nullptr || !parseWcsMode(value, mode)) {
        *used = 0;
        return -1;
    }
    return 0;
}

double toleranceFromText(const char* arcsecText)
{
    return degreesToRadians(std::atof(arcsecText) / 3600);
}

// Appends one name to the list: 0, or -1 with the message when memory runs out.
static int addImageName(std::vector<std::string>* names, const char* name, const char* fileName,
                        std::string* message)
{
    std::string copy;
    try {
        copy = name;
    } catch (const std::bad_alloc&) {
        *message = std::string("No memory to add `") + name + "' from " + fileName;
        return -1;
    }
    try {
        names->push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
        *message = std::string("No memory for more filenames in ") + fileName;
        return -1;
    }
    return 0;
}

// The text perror would print for the current errno under the given name.
static std::string systemErrorText(const char* name)
{
    const char* reason = std::strerror(errno);
    return name[0] != '\0' ? std::string(name) + ": " + reason : std::string(reason);
}

int readFileOfFiles(const char* fileName, std::vector<std::string>* names, std::string* message)
{
    FILE* file = std::fopen(fileName, "re");
    if (file == nullptr) {
        *message = systemErrorText(fileName);
        return -1;
    }
    int count = 0;
    char line[FILE_LIST_LINE_LENGTH + 1];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        size_t length = std::strlen(line);
        if (length < 2 || line[0] == '#' || line[0] == '!')
            continue;
        if (line[length - 1] == '\n')
            line[length - 1] = '\0';
        if (addImageName(names, line, fileName, message) != 0) {
            std::fclose(file);
            return -1;
        }
        ++count;
    }
    std::fclose(file);
    return count;
}

int readOpenImage(int fd, FitsImage* image, std::string* message)
{
    const FileDescriptor owner(fd);
    initFitsImage(image);
    int status = readFitsImage(fd, image, message);
    if (status != 0)
        freeFitsImage(image);
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

int readReferenceImage(FILE* table, const char* objectName, FitsImage* image, ReferenceEntry* entry,
                       SearchBox* box, std::string* fatal)
{
    std::string message;
    int found = 0;
    while ((found = findReferenceEntry(table, objectName, box, entry, &message)) == 0) {
        const char* referenceName = entry->referenceName.c_str();
        int fd = openImageFile(referenceName, &message);
        if (fd < 0) {
            std::fprintf(stderr, "%s: %s\n", referenceName, message.c_str());
            continue;
        }
        if (readOpenImage(fd, image, &message) != 0) {
            *fatal = std::string(referenceName) + ": " + message + "\n";
            return -2;
        }
        return 0;
    }
    if (found == -2) {
        *fatal = message;
        return -2;
    }
    std::fprintf(stderr, "No reference file listed for object %s\n", objectName);
    return -1;
}

int processTestImage(SearchRun* run, FILE* table, const char* testName, std::string* fatal)
{
    FitsImage test;
    std::string objectName;
    if (readTestImage(testName, &test, &objectName) != 0)
        return 0;
    FitsImage reference;
    ReferenceEntry entry;
    SearchBox box;
    const int found =
        readReferenceImage(table, objectName.c_str(), &reference, &entry, &box, fatal);
    if (found == 0) {
        compareImages(run, box, &reference, &test, entry.referenceName.c_str(), testName,
                      objectName.c_str());
        freeFitsImage(&reference);
    }
    freeFitsImage(&test);
    return found == -2 ? -2 : 0;
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
    const char* programName = argc > 0 && argv[0] != nullptr ? argv[0] : "newstars";
    WcsMode wcsMode = WcsMode::Auto;
    int optionWords = 0;
    if (takeWcsOption(argc, argv, &wcsMode, &optionWords) != 0) {
        std::fprintf(stderr, "%s: --wcs takes auto, classic or fits\n", programName);
        printUsage(programName);
        return 1;
    }
    // The rest of the command line as if the option had not been there.
    std::vector<char*> words;
    if (optionWords > 0) {
        words.push_back(argv[0]);
        words.insert(words.end(), argv + 1 + optionWords, argv + argc);
        words.push_back(nullptr);
        argc -= optionWords;
        argv = words.data();
    }

    CommandLineForm form = commandLineForm(argc, argv);
    if (form == USAGE_FORM) {
        printUsage(programName);
        return 1;
    }

    const char* toleranceText = form == FILE_OF_FILES_FORM ? argv[3] : argv[1];
    const char* tableName = form == FILE_OF_FILES_FORM ? argv[4] : argv[2];
    SearchRun run;
    run.tolerance = toleranceFromText(toleranceText);
    run.wcsMode = wcsMode;

    std::vector<std::string> imageNames;
    if (form == FILE_OF_FILES_FORM) {
        std::string message;
        const int count = readFileOfFiles(argv[2], &imageNames, &message);
        if (count < 0) {
            std::fprintf(stderr, "%s\n", message.c_str());
            return 1;
        }
        if (count == 0) {
            std::fprintf(stderr, "%s contains no files\n", argv[2]);
            return 1;
        }
    } else {
        for (int i = 3; i < argc; ++i)
            imageNames.emplace_back(argv[i]);
    }

    FILE* table = std::fopen(tableName, "re");
    if (table == nullptr) {
        std::perror(tableName);
        return 1;
    }
    for (const std::string& name : imageNames) {
        std::string fatal;
        if (processTestImage(&run, table, name.c_str(), &fatal) != 0) {
            std::fputs(fatal.c_str(), stderr);
            std::fclose(table);
            return 1;
        }
        std::rewind(table);
    }
    std::fclose(table);
    printCandidates(&run.candidates);
    return 0;
}

} // namespace newstars
