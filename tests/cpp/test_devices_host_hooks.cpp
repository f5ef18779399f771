#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>

#include "devices/host_hooks.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsed_ms(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

TEST(HostHooks, SleepOfZeroReturnsAtOnce) {
    const auto start = Clock::now();
    msleep(0);
    EXPECT_LT(elapsed_ms(start), 200);
}

TEST(HostHooks, SleepLastsAtLeastTheRequestedTime) {
    const auto start = Clock::now();
    msleep(30);
    EXPECT_GE(elapsed_ms(start), 30);
}

TEST(HostHooks, SignalDoesNotShortenTheSleep) {
    struct sigaction action{};
    struct sigaction previous{};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: nanosleep is interrupted with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    g_alarms = 0;
    itimerval timer{};
    timer.it_value.tv_usec = 10000;
    timer.it_interval.tv_usec = 10000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const auto start = Clock::now();
    msleep(60);
    const int64_t slept = elapsed_ms(start);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(g_alarms, 0);
    EXPECT_GE(slept, 60);
}

TEST(HostHooks, MillisecondClockFollowsTheSteadyClock) {
    const int64_t before =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count();
    const int64_t a = time_ms();
    msleep(15);
    const int64_t b = time_ms();
    EXPECT_GE(a, before);
    EXPECT_GE(b - a, 15);
    for (int i = 0; i < 1000; ++i) {
        const int64_t x = time_ms();
        const int64_t y = time_ms();
        ASSERT_LE(x, y);
    }
}

TEST(HostHooks, WatchdogKickHasNoEffect) {
    for (int i = 0; i < 100000; ++i) kick_watchdog();
    SUCCEED();
}

}  // namespace
