#include "platform/event_loop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/faults.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

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

// Only the first task of a batch wakes the loop: tasks posted while it
// drains, from several threads at once, must still all run.
TEST(EventLoopPost, EveryTaskPostedFromManyThreadsRuns) {
  EventLoop loop;
  constexpr int kThreads = 4, kTasks = 5000;
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&] {
      for (int i = 0; i < kTasks; ++i)
        loop.post([&] {
          if (++ran == kThreads * kTasks) loop.quit();
        });
    });
  std::thread watchdog([&] {
    for (int i = 0; i < 200 && ran < kThreads * kTasks; ++i) std::this_thread::sleep_for(50ms);
    loop.quit();
  });
  loop.run();
  for (auto& p : posters) p.join();
  watchdog.join();
  EXPECT_EQ(ran, kThreads * kTasks);
}

// A descriptor dropped without EPOLL_CTL_DEL and closed must neither reach
// its old handler nor stop its number from being registered again.
TEST(EventLoopRegistrations, ADescriptorRemovedBeforeCloseLeavesItsNumberFreeForTheNext) {
  EventLoop loop;
  struct Never : EventHandler {
    void onEvents(std::uint32_t) override { ADD_FAILURE(); }
  } stale;
  int first[2];
  ASSERT_EQ(::pipe2(first, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_TRUE(loop.add(first[0], EPOLLIN, &stale));
  ASSERT_EQ(::write(first[1], "x", 1), 1);
  loop.removeBeforeClose(first[0]);
  ::close(first[0]);
  ::close(first[1]);

  int second[2];
  ASSERT_EQ(::pipe2(second, O_CLOEXEC | O_NONBLOCK), 0);
  EXPECT_EQ(second[0], first[0]);  // the lowest free number comes back
  struct Quit : EventHandler {
    EventLoop* loop = nullptr;
    int calls = 0;
    void onEvents(std::uint32_t) override {
      ++calls;
      loop->quit();
    }
  } fresh;
  fresh.loop = &loop;
  ASSERT_TRUE(loop.add(second[0], EPOLLIN, &fresh));
  ASSERT_EQ(::write(second[1], "y", 1), 1);
  loop.run();
  EXPECT_EQ(fresh.calls, 1);
  loop.remove(second[0]);
  ::close(second[0]);
  ::close(second[1]);
}

// Out of descriptors: the loop must report it instead of ending the process.
TEST(EventLoopResources, ALoopWithoutDescriptorsIsUnreadyAndRunsNothing) {
  for (FaultPoint point : {FaultPoint::EpollCreate, FaultPoint::EventFd}) {
    armFault(point, EMFILE, 1);
    EventLoop loop;
    disarmFaults();
    EXPECT_FALSE(loop.ready());
    struct Never : EventHandler {
      void onEvents(std::uint32_t) override { ADD_FAILURE(); }
    } handler;
    EXPECT_FALSE(loop.add(0, 0, &handler));
    loop.post([] { ADD_FAILURE(); });
    loop.run();  // returns at once
  }
  EventLoop healthy;
  EXPECT_TRUE(healthy.ready());
}

}  // namespace
}  // namespace kestrel::platform
