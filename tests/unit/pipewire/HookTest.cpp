// Listener hooks against a hook list of our own, standing in for a PipeWire object's. No daemon.

#include <gtest/gtest.h>

#include "engine/hal/pipewire/PwHandles.h"

namespace mixelot::hal::pipewire {
namespace {

int removals = 0;
// What an object installs on a hook it must hear about leaving (a filter's clears the process
// callback that the hook registered).
void objectRemovalHandler(spa_hook* hook) {
  ++removals;
  hook->priv = nullptr;
}

struct Registered {
  spa_hook_list list;
  Hook hook;
  Registered() {
    removals = 0;
    spa_hook_list_init(&list);
    spa_hook_list_append(&list, hook.get(), nullptr, nullptr);
    hook.get()->removed = objectRemovalHandler;
    hook.guard();
  }
};

TEST(HookTest, TheObjectsRemovalHandlerRunsOnceWhoeverRemovesTheHook) {
  {
    Registered byUs;
    byUs.hook.remove();
    EXPECT_EQ(removals, 1);
    EXPECT_TRUE(spa_list_is_empty(&byUs.list.list));
    byUs.hook.remove();
    EXPECT_EQ(removals, 1);
  }
  {
    // The object goes first and unlinks its hooks; ours then has nothing left to do.
    Registered byTheObject;
    spa_hook_list_clean(&byTheObject.list);
    EXPECT_EQ(removals, 1);
    byTheObject.hook.remove();
    EXPECT_EQ(removals, 1);
  }
  EXPECT_EQ(removals, 1);
}

}  // namespace
}  // namespace mixelot::hal::pipewire
