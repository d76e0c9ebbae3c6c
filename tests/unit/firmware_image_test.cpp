#include "firmware_image.h"

#include "bus_pair.h"

#include <algorithm>
#include <fcntl.h>
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

TEST(FirmwareImage, OpensSizesAndHoldsAReadableImage) {
    std::vector<uint8_t> bytes = patternImage(100);
    TempImage image(bytes);
    OpenResult result = openCapturing(image.path);
    EXPECT_TRUE(result.opened);
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(fileLength, 100u);
    EXPECT_EQ(std::vector<uint8_t>(firmwareImage, firmwareImage + 100), bytes);
    closeImage();
}

// The file that the change below acts on, and its modification time before the read.
std::string changingPath;
const timespec knownTime = {1000000000, 5};

void rewriteInPlace() {
    int fd = open(changingPath.c_str(), O_WRONLY);
    std::vector<uint8_t> other(100, 0xEE);
    EXPECT_EQ(pwrite(fd, other.data(), other.size(), 0), 100);
    // A nanosecond apart: the least a file system with fine times can show.
    const timespec times[2] = {{0, UTIME_OMIT}, {knownTime.tv_sec, knownTime.tv_nsec + 1}};
    EXPECT_EQ(futimens(fd, times), 0);
    close(fd);
}

// As cp -p leaves it: other bytes, the old modification time; only the change time shows it.
void rewriteWithTheOldTime() {
    int fd = open(changingPath.c_str(), O_WRONLY);
    std::vector<uint8_t> other(100, 0xEE);
    EXPECT_EQ(pwrite(fd, other.data(), other.size(), 0), 100);
    const timespec times[2] = {{0, UTIME_OMIT}, knownTime};
    EXPECT_EQ(futimens(fd, times), 0);
    close(fd);
}

// `mv new.bin klipper.bin`: the file being read loses its name, which changes its change time,
// and keeps its bytes.
void renameAnotherOntoIt() {
    TempImage other(std::vector<uint8_t>(100, 0xEE));
    EXPECT_EQ(rename(other.path.c_str(), changingPath.c_str()), 0);
}

void appendAByte() {
    int fd = open(changingPath.c_str(), O_WRONLY | O_APPEND);
    EXPECT_EQ(write(fd, "x", 1), 1);
    close(fd);
}

void cutShort() {
    EXPECT_EQ(truncate(changingPath.c_str(), 40), 0);
}

TEST(FirmwareImage, FileChangedWhileItIsReadIsRefusedAndOnlyThen) {
    const char *changed = "Firmware file changed while it was being read: ";
    struct Case {
        const char *what;
        void (*change)();
        int beforeRead;     // 1: before the image is read, 2: after it, before the end is checked
        const char *report; // nullptr: the image opens
    } cases[] = {
        {"rewritten in place, same size", rewriteInPlace, 1, changed},
        {"rewritten with the old modification time", rewriteWithTheOldTime, 2, changed},
        {"grown", appendAByte, 1, changed},
        {"cut short", cutShort, 1, "Firmware file ended before its size: "},
        {"another file renamed onto its path", renameAnotherOntoIt, 1, nullptr},
    };
    for (const Case &c : cases) {
        TempImage image(patternImage(100));
        changingPath = image.path;
        const timespec times[2] = {{0, UTIME_OMIT}, knownTime};
        ASSERT_EQ(utimensat(AT_FDCWD, image.path.c_str(), times, 0), 0);
        beforeImageRead(c.beforeRead, c.change);
        OpenResult result = openCapturing(image.path);
        if (c.report == nullptr) {
            EXPECT_TRUE(result.opened) << c.what;
            EXPECT_EQ(result.errors, "") << c.what;
            EXPECT_EQ(std::vector<uint8_t>(firmwareImage, firmwareImage + 100), patternImage(100))
                << c.what;
            continue;
        }
        EXPECT_FALSE(result.opened) << c.what;
        EXPECT_EQ(result.errors, c.report + image.path + "\n") << c.what;
        EXPECT_EQ(fileLength, 0u) << c.what;
    }
}

std::string otherKind(const std::string &name, const std::string &suffix, const std::string &path) {
    return "Firmware file is " + name + ", not a raw image: " + path +
           "\nThe raw image is usually the .bin file beside the " + suffix +
           " file in the firmware build's output folder: copy that one to " + path + "\n";
}

TEST(FirmwareImage, RefusesWhatCannotBeSentWhole) {
    TempImage empty({});
    TempImage elf({0x7F, 'E', 'L', 'F', 0x02, 0x01, 0x01, 0x00});
    std::vector<uint8_t> uf2Block(512);
    const uint8_t uf2Magics[][4] = {{0x55, 0x46, 0x32, 0x0A}, {0x57, 0x51, 0x5D, 0x9E}};
    const uint8_t uf2EndMagic[] = {0x30, 0x6F, 0xB1, 0x0A};
    std::copy(uf2Magics[0], uf2Magics[0] + 4, uf2Block.begin());
    std::copy(uf2Magics[1], uf2Magics[1] + 4, uf2Block.begin() + 4);
    std::copy(uf2EndMagic, uf2EndMagic + 4, uf2Block.begin() + 508);
    TempImage uf2(uf2Block);
    const std::string hexText = ":00000001FF\n";
    TempImage hex(std::vector<uint8_t>(hexText.begin(), hexText.end()));
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
         "Firmware file not found!: No such file or directory\n/nonexistent/klipper.bin does not "
         "exist: copy the firmware image you built there (the raw .bin file from the build's "
         "output folder)\n"},
        {elf.path, false, otherKind("an ELF file", ".elf", elf.path)},
        {uf2.path, false, otherKind("a UF2 file", ".uf2", uf2.path)},
        {hex.path, false, otherKind("an Intel HEX file", ".hex", hex.path)},
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
            EXPECT_EQ(fileLength, 0u) << c.path;
        }
    }
    closeImage();
    rmdir(directory);
}

TEST(FirmwareImage, NoDescriptorIsLeftOpenOnceTheImageIsRead) {
    TempImage empty({});
    TempImage image(patternImage(100));
    for (const std::string &path : {empty.path, image.path}) {
        int before = dup(0);
        close(before);
        openCapturing(path);
        int after = dup(0);
        close(after);
        EXPECT_EQ(before, after) << path;
    }
    closeImage();
}

} // namespace
