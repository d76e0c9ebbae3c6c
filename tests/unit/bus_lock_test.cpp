#include "bus_lock.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Interface names of this test process alone: parallel test runs, the sanitizer tree's run
// and a real run on can0 never meet each other's lock.
std::string privateInterface(const char *which) {
    return "unit" + std::to_string(getpid()) + which;
}

struct Take {
    bool taken;
    std::string report;
};

Take takeCapturing(const std::string &interfaceName) {
    testing::internal::CaptureStderr();
    bool taken = takeBusLock(interfaceName.c_str());
    return {taken, testing::internal::GetCapturedStderr()};
}

std::string inUse(const std::string &interfaceName, pid_t holder) {
    return "Interface " + interfaceName + " is in use by another canfd-flash run (process " +
           std::to_string(holder) + "): let it finish or end it\n";
}

TEST(BusLock, SecondTakeIsRefusedAndNamesTheHolder) {
    std::string name = privateInterface("a");
    Take first = takeCapturing(name);
    EXPECT_TRUE(first.taken);
    EXPECT_EQ(first.report, "");

    Take second = takeCapturing(name);
    EXPECT_FALSE(second.taken);
    EXPECT_EQ(second.report, inUse(name, getpid()));
    // Each interface has its own lock.
    EXPECT_TRUE(takeCapturing(privateInterface("b")).taken);
}

TEST(BusLock, IsFreeAgainOnceItsHolderIsKilled) {
    std::string name = privateInterface("c");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        char taken = takeBusLock(name.c_str()) ? 1 : 0;
        if (write(ready[1], &taken, 1) != 1) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    char taken = 0;
    EXPECT_EQ(read(ready[0], &taken, 1), 1);
    Take whileHeld = takeCapturing(name);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    EXPECT_EQ(taken, 1);
    EXPECT_FALSE(whileHeld.taken);
    EXPECT_EQ(whileHeld.report, inUse(name, holder));
    Take afterwards = takeCapturing(name);
    EXPECT_TRUE(afterwards.taken);
    EXPECT_EQ(afterwards.report, "");
}

} // namespace
