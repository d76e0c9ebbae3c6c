#include "firmware_image.h"

#include "bus_pair.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct OpenResult {
    bool opened;
    std::string errors;
};

OpenResult openCapturing(const std::string &path) {
    closeImage();
    testing::internal::CaptureStderr();
    bool opened = openFirmwareImage(path.c_str());
    return {opened, testing::internal::GetCapturedStderr()};
}

TEST(FirmwareImage, OpensAndSizesAReadableImage) {
    TempImage image(patternImage(100));
    OpenResult result = openCapturing(image.path);
    EXPECT_TRUE(result.opened);
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(fileLength, 100u);
    EXPECT_GE(file, 0);
    closeImage();
}

TEST(FirmwareImage, RefusesWhatCannotBeSentWhole) {
    TempImage empty({});
    TempImage tooLarge({});
    ASSERT_EQ(truncate(tooLarge.path.c_str(), 16777216), 0);
    TempImage largestPossible({});
    ASSERT_EQ(truncate(largestPossible.path.c_str(), 16777215), 0);
    char directory[] = "/tmp/canfd-flash-dir-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);

    struct Case {
        std::string path;
        bool opens;
        std::string report;
    } cases[] = {
        {"/nonexistent/klipper.bin", false,
         "Firmware file not found!: No such file or directory\n"},
        {empty.path, false, "Firmware file is empty: " + empty.path + "\n"},
        {tooLarge.path, false,
         "Firmware file too large: " + tooLarge.path +
             " has 16777216 bytes, at most 16777215 are possible\n"},
        {directory, false, "Firmware size could not be read: Invalid argument\n"},
        {largestPossible.path, true, ""},
    };
    for (const Case &c : cases) {
        OpenResult result = openCapturing(c.path);
        EXPECT_EQ(result.opened, c.opens) << c.path;
        EXPECT_EQ(result.errors, c.report) << c.path;
        if (!c.opens) {
            EXPECT_EQ(file, -1) << c.path;
            EXPECT_EQ(fileLength, 0u) << c.path;
        }
    }
    closeImage();
    rmdir(directory);
}

TEST(FirmwareImage, RefusedImageLeavesNoDescriptorOpen) {
    TempImage empty({});
    int before = dup(0);
    close(before);
    openCapturing(empty.path);
    int after = dup(0);
    close(after);
    EXPECT_EQ(before, after);
}

TEST(FirmwareImage, BlockReadStopsAtTheEnd) {
    std::vector<uint8_t> bytes = patternImage(100);
    TempImage image(bytes);
    useImage(image);
    EXPECT_EQ(readFirmwareBlock(56, 56), 44);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 44),
              std::vector<uint8_t>(bytes.begin() + 56, bytes.end()));
    EXPECT_EQ(readFirmwareBlock(56, 100), 0);
    EXPECT_EQ(readFirmwareBlock(10, 3), 10);
    EXPECT_EQ(buffer[0], bytes[3]);
    closeImage();
}

} // namespace
