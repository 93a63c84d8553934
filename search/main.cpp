// newstars: finds new point sources in survey images against reference images.
#include <cstdio>
#include <string>

#include "search/output_files.hpp"
#include "search/run.hpp"

using namespace newstars;

int main(int argc, char** argv)
{
    const int status = runSearch(argc, argv);
    // What went to standard output (a merged report, help) must have gone out whole.
    std::string message;
    if (status == 0 && finishStandardOutput(&message) != 0) {
        std::fprintf(stderr, "%s: %s\n", argc > 0 && argv[0] != nullptr ? argv[0] : "newstars",
                     message.c_str());
        return 1;
    }
    return status;
}
