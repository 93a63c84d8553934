#include "night_support.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

NightProgramResult runNightProgram(const std::string& directory, const std::vector<std::string>& arguments) {
    const std::string outPath = directory + "/.stdout";
    const std::string errPath = directory + "/.stderr";
    const char* oldPath = std::getenv("PATH");
    std::vector<std::string> environment = {std::string("PATH=") + NEWSTARS_BIN_DIR + ":" +
                                            (oldPath != nullptr ? oldPath : "/usr/bin:/bin")};
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
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return result;
}

NightDirectory::NightDirectory() {
    char name[] = "/tmp/night_test_XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
}

NightDirectory::~NightDirectory() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

bool readSexagesimal(const std::string& text, double* value) {
    double a = 0, b = 0, c = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (std::sscanf(text.c_str() + (negative ? 1 : 0), "%lf:%lf:%lf", &a, &b, &c) != 3) return false;
    *value = (a + b / 60 + c / 3600) * (negative ? -1 : 1);
    return true;
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
