// newstars: finds new point sources in survey images against reference images.
#include "search/run.hpp"

using namespace newstars;

int main(int argc, char** argv)
{
    return runSearch(argc, argv);
}
