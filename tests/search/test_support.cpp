#include "test_support.hpp"

#include <cstdint>

std::vector<std::string> linearSkyCards(double ra0Degrees, double dec0Degrees, double crpix1,
                                        double crpix2)
{
    return {
        realCard("CRVAL1", ra0Degrees),  realCard("CRVAL2", dec0Degrees),
        realCard("CRPIX1", crpix1),      realCard("CRPIX2", crpix2),
        realCard("CDELT1", -1.0 / 3600), realCard("CDELT2", 1.0 / 3600),
        realCard("CROTA2", 0),           stringCard("CTYPE1", "RA--"),
    };
}

void writeTestImage(const std::string& path, const TestImage& image)
{
    const uint16_t background = 1000;
    std::vector<uint16_t> pixels(static_cast<size_t>(image.width) * image.height, background);
    for (const TestStar& star : image.stars) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                int add = (dx == 0 && dy == 0) ? 10000 : (dx == 0 || dy == 0) ? 4000 : 1500;
                pixels[static_cast<size_t>(star.y + dy) * image.width + star.x + dx] += add;
            }
        }
    }
    writeFile(path, fitsImageFile(image.width, image.height, pixels, image.cards));
}

std::string newstarsPath()
{
    return NEWSTARS_BIN_DIR "/newstars";
}

ProgramResult runNewstars(const std::string& directory, const std::vector<std::string>& arguments,
                          unsigned long addressSpaceLimit)
{
    std::vector<std::string> all = {newstarsPath()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProgramOptions options;
    options.directory = directory;
    options.addressSpaceLimit = addressSpaceLimit;
    return runProgram(all, options);
}

TestImage skyImage(const char* object, double ra0Degrees, double dec0Degrees,
                   const std::vector<TestStar>& stars)
{
    TestImage image;
    image.width = 300;
    image.height = 240;
    image.cards = {stringCard("OBJECT", object), stringCard("DATE-OBS", "2026-12-07"),
                   stringCard("TIME-OBS", "01:02:03")};
    for (const std::string& card : linearSkyCards(ra0Degrees, dec0Degrees, 150, 120))
        image.cards.push_back(card);
    image.stars = stars;
    return image;
}

void writeStandardScene(const ScratchDirectory& directory)
{
    writeTestImage(directory.file("ref.fts"), skyImage("M31", 150, 0, {{150, 120}}));
    writeTestImage(directory.file("ref2.fts"), skyImage("M31", 150, 0, {{150, 120}}));
    writeTestImage(directory.file("test.fts"), skyImage("M31", 150, 0, {{150, 120}, {180, 120}}));
    writeTestImage(directory.file("lower.fts"), skyImage("m31", 150, 0, {{150, 120}, {180, 120}}));
    TestImage noObject = skyImage("M31", 150, 0, {});
    noObject.cards.erase(noObject.cards.begin());
    writeTestImage(directory.file("noobject.fts"), noObject);
    writeFile(directory.file("short.fts"), std::string(100, ' '));
}
