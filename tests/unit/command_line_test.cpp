#include "command_line.h"
#include "output.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Answer {
    int status;
    std::string out;
    std::string err;
};

Answer run(std::vector<const char *> arguments) {
    arguments.insert(arguments.begin(), "canfd-flash");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = handleCommandLine(static_cast<int>(arguments.size()), arguments.data());
    flushOutput();
    return {status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

TEST(CommandLine, NoArgumentsGoAheadAndCheckChecks) {
    Answer answer = run({});
    EXPECT_EQ(answer.status, commandLineGoAhead);
    EXPECT_EQ(answer.out + answer.err, "");
    Answer check = run({"--check"});
    EXPECT_EQ(check.status, commandLineCheck);
    EXPECT_EQ(check.out + check.err, "");
}

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
    for (const char *option : {"-h", "--help"}) {
        Answer help = run({option});
        EXPECT_EQ(help.status, 0) << option;
        EXPECT_EQ(help.out.rfind("Usage: canfd-flash [--check | -h | --help | --version]\n", 0), 0u)
            << help.out;
        EXPECT_NE(help.out.find("/opt/klipper.bin"), std::string::npos) << option;
        EXPECT_NE(help.out.find("It never sends a frame."), std::string::npos) << option;
        EXPECT_NE(help.out.find("man canfd-flash (DIAGNOSTICS)"), std::string::npos) << option;
        EXPECT_EQ(help.err, "") << option;
    }

    Answer version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("canfd-flash ") + CANFD_FLASH_VERSION + "\n");
    EXPECT_EQ(version.err, "");
}

TEST(CommandLine, AnythingElseIsRefusedNamingTheArgumentThatIsWrong) {
    const struct {
        std::vector<const char *> arguments;
        std::string named;
    } refused[] = {
        {{"new.bin"}, "new.bin"},
        {{"-H"}, "-H"},
        {{"-hv"}, "-hv"},
        {{"-v"}, "-v"},
        {{"--help", "new.bin"}, "new.bin"},
        {{"-h", "--check"}, "--check"},
        {{"--version", "--help"}, "--help"},
        {{"--check", "new.bin"}, "new.bin"},
        {{"--check=10"}, "--check=10"},
        {{"new.bin", "--help"}, "new.bin"},
        {{""}, ""},
        {{"--"}, "--"},
    };
    for (const auto &c : refused) {
        Answer answer = run(c.arguments);
        EXPECT_EQ(answer.status, 1) << c.named;
        EXPECT_EQ(answer.out, "") << c.named;
        EXPECT_EQ(answer.err.rfind(
                      "canfd-flash: unexpected argument '" + c.named + "': nothing was done\n", 0),
                  0u)
            << answer.err;
        EXPECT_NE(answer.err.find("Usage: canfd-flash"), std::string::npos) << answer.err;
        EXPECT_NE(answer.err.find("1 an argument or the image was refused"), std::string::npos) << answer.err;
    }
}

} // namespace
