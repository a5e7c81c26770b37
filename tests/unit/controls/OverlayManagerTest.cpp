#include "controls/OverlayManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/ManualMainQueue.h"

namespace mixelot::controls {
namespace {

// Every overlay's history as text, e.g. "All Muted: fade 1 15 fade 0 30 close" (durations in
// hundredths of a second), and whether it is still open.
struct FakePresenter final : OverlayPresenter {
  struct Surface final : OverlaySurface {
    Surface(FakePresenter& presenter, size_t index) : presenter(presenter), index(index) {}
    void fadeTo(double opacity, Seconds duration) override {
      presenter.history[index] += " fade " + std::to_string(int(opacity)) + " " +
                                  std::to_string(int(duration.count() * 100 + 0.5));
    }
    void close() override {
      presenter.history[index] += " close";
      presenter.open[index] = false;
    }
    FakePresenter& presenter;
    size_t index;
  };
  std::unique_ptr<OverlaySurface> present(const std::string& message) override {
    history.push_back(message + ":");
    open.push_back(true);
    return std::make_unique<Surface>(*this, history.size() - 1);
  }
  std::vector<std::string> history;
  std::vector<bool> open;
};

struct OverlayFixture : ::testing::Test {
  ManualMainQueue queue;
  FakePresenter presenter;
  OverlayManager overlay{presenter, queue};
};

TEST_F(OverlayFixture, FadesInHoldsFadesOutAndCloses) {
  overlay.show("All Muted");
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15");
  queue.advance(Seconds(1.49));
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15");
  queue.advance(Seconds(0.02));
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15 fade 0 30");
  queue.advance(Seconds(0.28));
  EXPECT_TRUE(presenter.open[0]);
  queue.advance(Seconds(0.02));  // 1.81 s after the show
  EXPECT_FALSE(presenter.open[0]);
  EXPECT_FALSE(overlay.isShowing());
  EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(OverlayFixture, ANewMessageReplacesTheOldOneAndRestartsTheWait) {
  overlay.show("All Muted");
  queue.advance(Seconds(1.0));
  overlay.show("Restored");
  EXPECT_EQ(presenter.history[0], "All Muted: fade 1 15 close");  // at once, no fade
  EXPECT_EQ(std::count(presenter.open.begin(), presenter.open.end(), true), 1);
  queue.advance(Seconds(1.79));
  EXPECT_TRUE(presenter.open[1]);
  queue.advance(Seconds(0.02));
  EXPECT_FALSE(presenter.open[1]);

  // A show during a fade-out: the earlier fade's end must not close the new overlay.
  overlay.show("All Muted");
  queue.advance(Seconds(1.6));  // fading out
  overlay.show("Restored");
  queue.advance(Seconds(0.5));
  EXPECT_TRUE(presenter.open[3]);
  EXPECT_EQ(presenter.history[3], "Restored: fade 1 15");
  queue.advance(Seconds(1.4));
  EXPECT_FALSE(overlay.isShowing());
}

}  // namespace
}  // namespace mixelot::controls
