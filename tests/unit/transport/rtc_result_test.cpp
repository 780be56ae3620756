#include "transport/rtc_result.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace vtx {
namespace {

// A handler destroyed on another thread while its event runs waits for the event: the event's
// own state stays valid to its end. Under AddressSanitizer a freed handler shows up here.
TEST(ResultHandlers, DestroyingAHandlerWaitsForItsRunningEvent) {
  auto handler = std::make_unique<TRtcResult>();
  TRtcResult* raw = handler.get();
  std::atomic<bool> started{false}, finished{false};
  auto state = std::make_shared<std::vector<int>>(1000, 7);
  handler->OnReturn = [&, state](TRtcConnection*, TRtcValue&, TRtcValue&) {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int sum = 0;
    for (int v : *state) sum += v;
    finished = sum == 7000;
  };
  state.reset();
  std::thread caller([raw] {
    TRtcValue data, result;
    EXPECT_TRUE(TRtcResult::Call_Return(raw, nullptr, data, result));
  });
  while (!started) std::this_thread::yield();
  handler.reset();
  EXPECT_TRUE(finished.load());
  caller.join();
  // Gone: no event reaches it any more.
  TRtcValue data, result;
  EXPECT_FALSE(TRtcResult::Call_Aborted(raw, nullptr, data, result));
}

// A handler may destroy itself inside its own event (no wait on its own thread), and calls that
// race with destruction on other threads either run to their end first or do not run at all.
TEST(ResultHandlers, SelfDestructionInsideTheEventAndCallsRacingTheDestructor) {
  auto self = std::make_unique<TRtcResult>();
  TRtcResult* raw = self.get();
  self->RequestAborted = [&](TRtcConnection*, TRtcValue&, TRtcValue&) { self.reset(); };
  TRtcValue data, result;
  EXPECT_TRUE(TRtcResult::Call_Aborted(raw, nullptr, data, result));
  EXPECT_EQ(self, nullptr);
  EXPECT_FALSE(TRtcResult::IsRegistered(raw));

  for (int round = 0; round < 50; ++round) {
    auto handler = std::make_unique<TRtcResult>();
    TRtcResult* h = handler.get();
    auto alive = std::make_shared<int>(1);
    std::atomic<int> wrong{0};
    handler->OnReturn = [alive, &wrong](TRtcConnection*, TRtcValue&, TRtcValue&) {
      if (*alive != 1) ++wrong;
    };
    std::atomic<bool> go{false};
    std::thread caller([&] {
      while (!go) std::this_thread::yield();
      TRtcValue d, r;
      for (int i = 0; i < 200; ++i) TRtcResult::Call_Return(h, nullptr, d, r);
    });
    go = true;
    alive.reset();
    handler.reset();
    caller.join();
    EXPECT_EQ(wrong.load(), 0);
  }
}

}  // namespace
}  // namespace vtx
