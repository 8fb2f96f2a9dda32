#include "app/process_exit.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace Kest {

namespace {

std::mutex& HookMutex() {
  static std::mutex* m = new std::mutex;  // never destroyed: used up to the last moment
  return *m;
}

std::vector<std::function<void()>>& Hooks() {
  static auto* hooks = new std::vector<std::function<void()>>;
  return *hooks;
}

}  // namespace

void AddExitHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(HookMutex());
  Hooks().push_back(std::move(hook));
}

void EndProcess(int status) {
  {
    // A second caller waits here until the first has run the hooks, then ends as well.
    std::lock_guard<std::mutex> lock(HookMutex());
    std::vector<std::function<void()>> hooks;
    hooks.swap(Hooks());
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)();
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

}  // namespace Kest
