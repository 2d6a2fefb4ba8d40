// The waiting window of large packages, seen from outside the engine's process under Wine:
// when it shows, what it says in each language, how long it stays, and how it makes way for
// a failure's message box.
#include "e2e/harness.h"

#include <stdio.h>

#include <algorithm>

#include "extract/storage_methods.h"
#include "package/package_reader.h"
#include "support/package_builder.h"

namespace {

const uint32_t PROGRESS_THRESHOLD_BYTES = 1500000;

// Stored entries whose unpacked sizes add up to `total`.
TestPackage packageOfSize(uint32_t total, std::optional<std::string> command, uint32_t mode) {
    TestPackage package;
    package.command = command;
    package.cleanupMode = mode;
    uint32_t first = total / 3;
    for (uint32_t size : {first, total - first}) {
        TestEntry entry;
        entry.name = "part" + std::to_string(package.entries.size()) + ".bin";
        entry.content.assign(size, static_cast<uint8_t>('a' + package.entries.size()));
        package.entries.push_back(entry);
    }
    return package;
}

class ProgressWindow : public EngineTest {};

// A screenshot's pixels, 8-bit RGB rows from the top, as ImageMagick decodes the PNG.
struct Picture {
    long width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(long x, long y) const { return &rgb[static_cast<size_t>((y * width + x) * 3)]; }
};

std::optional<Picture> readPicture(const fs::path& png) {
    std::string command = "/usr/bin/convert '" + png.string() + "' -depth 8 ppm:-";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == NULL) return std::nullopt;
    Picture picture;
    int maximum = 0;
    bool header = fscanf(pipe, "P6 %ld %ld %d", &picture.width, &picture.height, &maximum) == 3 &&
                  maximum == 255 && fgetc(pipe) != EOF && picture.width > 0 && picture.height > 0;
    if (header) {
        picture.rgb.resize(static_cast<size_t>(picture.width * picture.height * 3));
        header = fread(picture.rgb.data(), 1, picture.rgb.size(), pipe) == picture.rgb.size();
    }
    int status = pclose(pipe);
    if (!header || status != 0) return std::nullopt;
    return picture;
}

// The screenshot shows the waiting window: everything white on the screen is one box, at the
// frame and of the size the driver saw (give or take the frame's edge), and its lower half,
// where the lines are, holds dark text pixels. The screen around it is the bare black desktop.
void expectPictureShowsTheWindow(const fs::path& png, const std::vector<long>& frame) {
    ASSERT_EQ(frame.size(), 4u) << "the driver never held the window for the screenshot";
    std::optional<Picture> picture = readPicture(png);
    ASSERT_TRUE(picture.has_value()) << "cannot read " << png;
    const long EDGE = 3;  // the frame's border may be grey rather than white
    long left = picture->width, top = picture->height, right = -1, bottom = -1;
    long dark = 0;
    for (long y = 0; y < picture->height; ++y) {
        for (long x = 0; x < picture->width; ++x) {
            const uint8_t* pixel = picture->at(x, y);
            if (pixel[0] == 255 && pixel[1] == 255 && pixel[2] == 255) {
                left = std::min(left, x), top = std::min(top, y);
                right = std::max(right, x + 1), bottom = std::max(bottom, y + 1);
            }
            bool inTextRows = x >= frame[0] && x < frame[2] && y >= (frame[1] + frame[3]) / 2 && y < frame[3];
            if (inTextRows && pixel[0] < 96 && pixel[1] < 96 && pixel[2] < 96) ++dark;
        }
    }
    ASSERT_GE(right, 0) << png << " has no white at all";
    EXPECT_NEAR(left, frame[0], EDGE) << png;
    EXPECT_NEAR(top, frame[1], EDGE) << png;
    EXPECT_NEAR(right, frame[2], EDGE) << png;
    EXPECT_NEAR(bottom, frame[3], EDGE) << png;
    // Two lines of text in an 8-point font come to a few hundred dark pixels.
    EXPECT_GE(dark, 100) << png << " shows no text in the window's lines";
}

// The engine counts its second from a tick taken after it has made its working directory in
// TMP, just before it creates the dialog. The driver's last look at an empty TMP comes before
// that tick, and the moment it saw the window gone comes after the hiding, so their difference
// is at least the second however slowly anything ran. Without the minimum display time the
// window of these packages would be gone within ~100 ms.
void expectUpForASecond(const EngineRun& run) {
    ASSERT_GE(run.progress.hiddenAt, 0) << run.output;
    ASSERT_GE(run.tmpLastEmptyAt, 0) << run.output;
    EXPECT_GE(run.progress.hiddenAt - run.tmpLastEmptyAt, 1000) << run.output;
}

TEST_F(ProgressWindow, ShowsOnlyAboveThresholdAndThenForASecond) {
    EngineRun at = run(makeExe(buildPackage(packageOfSize(PROGRESS_THRESHOLD_BYTES, std::nullopt, CLEANUP_TREE))));
    EXPECT_EQ(at.exitCode, 0u) << at.output;
    EXPECT_FALSE(at.progress.opened) << at.output;

    EngineRun above = run(makeExe(buildPackage(packageOfSize(PROGRESS_THRESHOLD_BYTES + 1, std::nullopt, CLEANUP_TREE))));
    EXPECT_EQ(above.exitCode, 0u) << above.output;
    EXPECT_TRUE(above.progress.opened) << above.output;
    expectUpForASecond(above);
    EXPECT_TRUE(listTree(tmp).empty());
}

TEST_F(ProgressWindow, SaysItsLinesInLoadersLanguageAndStaysUntilCommandStarted) {
    struct Case {
        const char* language;
        const char* shot;
        std::vector<std::string> texts;
    } cases[] = {
        {"en_US.UTF-8", "progress-en.png", {"Application is being initialized", "Please wait.."}},
        {"cs_CZ.UTF-8", "progress-cs.png", {"Probíhá inicializace programu", "Čekejte prosím.."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        RunOptions options = inLanguage(c.language);
        options.screenshot = screenshotDir() / c.shot;
        fs::remove(*options.screenshot);
        TestPackage package = packageOfSize(PROGRESS_THRESHOLD_BYTES + 1, std::string("cmd.exe /c echo ran> ran.txt"), CLEANUP_TREE);
        EngineRun run = this->run(makeExe(buildPackage(package)), options);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        ASSERT_TRUE(run.progress.opened) << run.output;
        EXPECT_EQ(run.progress.texts, c.texts);
        ASSERT_GE(run.progress.shownAt, 0) << run.output;
        // The driver holds the engine while the screenshot is taken, which can only lengthen
        // the window's time: the test above measures it on a run without a screenshot.
        expectUpForASecond(run);
        // The command had started by the time the window was seen gone.
        EXPECT_TRUE(run.progress.commandStartedWhenHidden) << run.output;
        EXPECT_GE(run.childSeenAt, 0) << run.output;
        expectPictureShowsTheWindow(*options.screenshot, run.progress.heldFrame);
        EXPECT_TRUE(listTree(tmp).empty());
    }
}

TEST_F(ProgressWindow, FailureShowsMessageWhileWindowIsUpThenWindowGoes) {
    TestPackage package = packageOfSize(PROGRESS_THRESHOLD_BYTES + 1, std::string("cmd.exe /c echo never> never.txt"), CLEANUP_TREE);
    TestEntry bad;
    bad.name = "bad.bin";
    bad.content = {1, 2, 3};
    bad.unpackedSize = 4;  // a stored entry whose sizes disagree cannot be extracted
    package.entries.push_back(bad);
    EngineRun run = this->run(makeExe(buildPackage(package)));
    EXPECT_EQ(run.exitCode, 0x80090020u) << run.output;
    ASSERT_EQ(run.boxes.size(), 1u) << run.output;
    EXPECT_EQ(run.boxes[0].text, "Cannot extract files!");
    EXPECT_TRUE(run.boxes[0].progressVisible) << run.output;
    ASSERT_GE(run.progress.hiddenAt, 0) << run.output;
    EXPECT_GE(run.progress.hiddenAt, run.boxes[0].at) << run.output;
    EXPECT_EQ(run.childSeenAt, -1) << "the command must not start\n" << run.output;
    EXPECT_TRUE(listTree(tmp).empty());
}

}  // namespace
