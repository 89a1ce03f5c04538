// Win32 quit requests: WM_QUIT with its exit code, in the posting thread's own queue only.
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"

TEST(Win32Events, QuitIsTakenOnceWithItsExitCode) {
    int code = -1;
    EXPECT_FALSE(PlatformTakeQuit(&code));
    PlatformPostQuit(7);
    ASSERT_TRUE(PlatformTakeQuit(&code));
    EXPECT_EQ(code, 7);
    EXPECT_FALSE(PlatformTakeQuit(&code));
}

TEST(Win32Events, QuitPostedByAnotherThreadStaysInThatThreadsQueue) {
    bool workerTookIt = false;
    int workerCode = -1;
    std::thread worker([&] {
        PlatformPostQuit(3);
        workerTookIt = PlatformTakeQuit(&workerCode);
    });
    worker.join();
    EXPECT_TRUE(workerTookIt);
    EXPECT_EQ(workerCode, 3);

    std::thread poster([] { PlatformPostQuit(5); });
    poster.join();
    int code = -1;
    EXPECT_FALSE(PlatformTakeQuit(&code));
}
