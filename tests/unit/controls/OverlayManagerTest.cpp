#include "controls/OverlayManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/ManualMainQueue.h"

namespace mixelot::controls {
namespace {

// Every surface's history as text, e.g. "All Muted: fade 1 0.15, fade 0 0.3, close".
struct Journal {
  std::vector<std::string> entries;
  std::vector<bool> open;
};

struct FakeSurface final : OverlaySurface {
  FakeSurface(Journal& journal, size_t index) : journal(journal), index(index) {}
  void fadeTo(double opacity, Seconds duration) override {
    journal.entries[index] += " fade " + std::to_string(int(opacity)) + " " +
                              std::to_string(int(duration.count() * 100 + 0.5));
  }
  void close() override {
    journal.entries[index] += " close";
    journal.open[index] = false;
  }
  Journal& journal;
  size_t index;
};

struct FakePresenter final : OverlayPresenter {
  std::unique_ptr<OverlaySurface> present(const std::string& message) override {
    journal.entries.push_back(message + ":");
    journal.open.push_back(true);
    return std::make_unique<FakeSurface>(journal, journal.entries.size() - 1);
  }
  Journal journal;
};

TEST(OverlayManager, FadesInHoldsFadesOutAndCloses) {
  ManualMainQueue queue;
  FakePresenter presenter;
  OverlayManager overlay(presenter, queue);
  overlay.show("All Muted");
  EXPECT_EQ(presenter.journal.entries[0], "All Muted: fade 1 15");
  queue.advance(Seconds(1.49));
  EXPECT_EQ(presenter.journal.entries[0], "All Muted: fade 1 15");
  queue.advance(Seconds(0.02));
  EXPECT_EQ(presenter.journal.entries[0], "All Muted: fade 1 15 fade 0 30");
  queue.advance(Seconds(0.28));
  EXPECT_TRUE(presenter.journal.open[0]);
  queue.advance(Seconds(0.02));  // 1.81 s after the show
  EXPECT_FALSE(presenter.journal.open[0]);
  EXPECT_FALSE(overlay.isShowing());
  EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST(OverlayManager, ANewMessageReplacesTheOldOneAndRestartsTheWait) {
  ManualMainQueue queue;
  FakePresenter presenter;
  OverlayManager overlay(presenter, queue);
  overlay.show("All Muted");
  queue.advance(Seconds(1.0));
  overlay.show("Restored");
  EXPECT_EQ(presenter.journal.entries[0], "All Muted: fade 1 15 close");  // at once, no fade
  EXPECT_EQ(std::count(presenter.journal.open.begin(), presenter.journal.open.end(), true), 1);
  queue.advance(Seconds(1.79));
  EXPECT_TRUE(presenter.journal.open[1]);
  queue.advance(Seconds(0.02));
  EXPECT_FALSE(presenter.journal.open[1]);

  // A show during a fade-out: the earlier fade's end must not close the new overlay.
  overlay.show("All Muted");
  queue.advance(Seconds(1.6));  // fading out
  overlay.show("Restored");
  queue.advance(Seconds(0.5));
  EXPECT_TRUE(presenter.journal.open[3]);
  EXPECT_EQ(presenter.journal.entries[3], "Restored: fade 1 15");
  queue.advance(Seconds(1.4));
  EXPECT_FALSE(overlay.isShowing());
}

}  // namespace
}  // namespace mixelot::controls
