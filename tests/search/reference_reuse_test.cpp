// Reference reuse within a run: the stars of a reference file are kept after the first
// comparison that reads it, a file changed on disk since is read again, and what the
// reading says about the reference is said again for every test image.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "search/run.hpp"
#include "test_support.hpp"

using namespace newstars;

TEST(ReferenceReuse, KeepsTheStarsOfAnUnchangedFileAndRereadsAChangedOne)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    const std::string reference = dir.file("ref.fts"), test = dir.file("test.fts");
    SearchShared shared;
    shared.tolerance = toleranceFromText("2");
    shared.tableText = "M31 10:00:30 0:01:00 9:59:30 -0:01:00 " + reference + "\n";
    SearchWorker worker;
    auto summary = [&] {
        TestImageOutcome outcome;
        EXPECT_EQ(compareTestImage(&shared, &worker, test.c_str(), &outcome),
                  ImageSearch::Searched);
        std::string text;
        for (const ImageLog::Piece& piece : outcome.log.pieces)
            text += piece.text;
        return text;
    };

    EXPECT_EQ(summary(), STANDARD_SUMMARY);
    FileIdentity identity;
    ASSERT_EQ(fileIdentity(reference.c_str(), &identity), 0);
    ReferenceStars kept;
    const bool found = shared.references.findOrClaim(identity, &kept);
    if (!found)
        shared.references.release(identity);
    ASSERT_TRUE(found);
    EXPECT_EQ(kept->positions.size(), 1u);
    EXPECT_EQ(summary(), STANDARD_SUMMARY);

    // Rewritten in place with the test image's two stars: both match now.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeFile(reference, readFile(test));
    EXPECT_EQ(summary(),
              "M31          ref.fts      test.fts     2026-12-07 01:02:03   2   2   0\n");
}

TEST(ReferenceReuse, RepeatsTheMessageOnReferenceStarsLeftOutForEveryTestImage)
{
    ScratchDirectory dir;
    writeStandardScene(dir);
    TestImage bare = skyImage("M31", 150, 0, {{150, 120}});
    bare.cards.resize(3); // OBJECT, DATE-OBS, TIME-OBS: no world coordinates
    writeTestImage(dir.file("bare.fts"), bare);
    SearchShared shared;
    shared.tolerance = toleranceFromText("2");
    shared.tableText = "M31 10:00:30 0:01:00 9:59:30 -0:01:00 " + dir.file("bare.fts") + "\n";
    SearchWorker worker;
    std::string first;
    for (int pass = 0; pass < 2; ++pass) {
        TestImageOutcome outcome;
        ASSERT_EQ(compareTestImage(&shared, &worker, dir.file("test.fts").c_str(), &outcome),
                  ImageSearch::Searched);
        std::string text;
        for (const ImageLog::Piece& piece : outcome.log.pieces)
            text += (piece.error ? "err: " : "out: ") + piece.text;
        if (pass == 0)
            first = text;
        EXPECT_EQ(text, first);
    }
    EXPECT_EQ(first.rfind("err: " + dir.file("bare.fts") + ": ", 0), 0u) << first;
    EXPECT_NE(first.find("1 star left out\nout: M31          bare.fts"), std::string::npos)
        << first;
}
