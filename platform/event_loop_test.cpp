#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;

// A console request whose own work ends the program: the caller's variables
// are written after the quit, so send must not return before the task ends.
TEST(EventLoopSend, TaskThatQuitsTheLoopStillFinishesBeforeTheCallerGoesOn) {
  EventLoop loop;
  int answer = 0;
  std::thread caller([&] {
    loop.send([&] {
      loop.quit();
      std::this_thread::sleep_for(500ms);  // longer than the caller's quit check
      answer = 42;
    });
    EXPECT_EQ(answer, 42);
  });
  loop.run();
  caller.join();
}

// A loop that has quit runs nothing more: its caller stops waiting.
TEST(EventLoopSend, CallerOfALoopThatQuitStopsWaiting) {
  EventLoop loop;
  loop.quit();
  std::atomic<bool> ran{false};
  std::thread caller([&] { loop.send([&] { ran = true; }); });
  caller.join();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace kestrel::platform
