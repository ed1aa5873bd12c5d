#include "quillon/keyboard/fork_generation.h"

#include <pthread.h>

#include <atomic>

namespace quillon {

namespace {

std::atomic<unsigned> g_generation{0};

// Runs in the child, alone there: nothing else can be counting.
void countChild() { g_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

unsigned forkGeneration() {
  // Registered with the first object that asks, before any fork that
  // matters to it; glibc removes it again when the library is unloaded.
  static const bool registered =
      pthread_atfork(nullptr, nullptr, countChild) == 0;
  (void)registered;
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace quillon
