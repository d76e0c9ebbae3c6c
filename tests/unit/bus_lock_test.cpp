#include "bus_lock.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string takeCapturing(const std::string &interfaceName, bool expectTaken) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(takeBusLock(interfaceName.c_str()), expectTaken) << interfaceName;
    return testing::internal::GetCapturedStderr();
}

std::string inUse(const std::string &interfaceName, pid_t holder) {
    return "Interface " + interfaceName + " is in use by another canfd-flash run (process " +
           std::to_string(holder) + "): let it finish or end it\n";
}

// Any process may listen on the lock's name: the report names what holds it.
TEST(BusLock, IsRefusedNamingItsHolderUntilTheHolderIsKilled) {
    // A name of this test process alone: parallel test runs, the sanitizer tree's run and a
    // real run on can0 never meet each other's lock.
    std::string name = "unit" + std::to_string(getpid());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        prctl(PR_SET_NAME, "canfd-flash");
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
    EXPECT_EQ(taken, 1);
    std::string whileHeld = takeCapturing(name, false);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(whileHeld, inUse(name, holder));

    EXPECT_EQ(takeCapturing(name, true), "");
    // The name the kernel gives this process: unit_tests, or qemu's under qemu-user.
    std::ifstream comm("/proc/self/comm");
    std::string ownName;
    std::getline(comm, ownName);
    EXPECT_EQ(takeCapturing(name, false),
              "Interface " + name + " is in use: process " + std::to_string(getpid()) + " (" +
                  ownName +
                  "), which is not canfd-flash, holds the lock that keeps a second "
                  "run off " +
                  name + ": end that process\n");
}

} // namespace
