#include "name_lookup.h"

#include <dlfcn.h>

#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

namespace quillon {

namespace {

// A lookup of the C library cannot be ended, and its thread writes the
// answer into memory of this library: the library that started one stays
// loaded until the process ends (a dlclose no longer unloads it). So a
// host that loads and unloads it again and again keeps one instance, with
// at most one lookup under way, instead of a pile of resolver threads.
void keepThisLibraryLoaded() {
  static const bool kept = [] {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&keepThisLibraryLoaded), &self) == 0 ||
        self.dli_fname == nullptr)
      return false;
    // Where this code is linked into a program, nothing is found: fine.
    void* handle =
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
  }();
  (void)kept;
}

}  // namespace

struct NameLookup::Request {
  std::string host;
  std::string service;
  addrinfo hints{};
  gaicb block{};
  bool started = false;
};

NameLookup::NameLookup(std::string host, std::string service)
    : request_(new Request) {
  keepThisLibraryLoaded();
  request_->host = std::move(host);
  request_->service = std::move(service);
  request_->hints.ai_socktype = SOCK_STREAM;
  request_->block.ar_name = request_->host.c_str();
  request_->block.ar_service = request_->service.c_str();
  request_->block.ar_request = &request_->hints;
  gaicb* list[] = {&request_->block};
  // No notification: wait() asks for the answer.
  request_->started = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) == 0;
}

NameLookup::~NameLookup() {
  gaicb& block = request_->block;
  if (request_->started && gai_error(&block) == EAI_INPROGRESS &&
      gai_cancel(&block) == EAI_NOTCANCELED) {
    // The resolver's thread will still write the answer here: kept for
    // good, and reachable, so that no leak checker counts it.
    static std::mutex mutex;
    static auto* const abandoned = new std::vector<Request*>;
    std::lock_guard lock(mutex);
    abandoned->push_back(request_);
    return;
  }
  if (block.ar_result != nullptr) freeaddrinfo(block.ar_result);
  delete request_;
}

const addrinfo* NameLookup::wait(const std::atomic<bool>& stop) {
  if (!request_->started) return nullptr;
  const gaicb* list[] = {&request_->block};
  while (gai_error(&request_->block) == EAI_INPROGRESS) {
    if (stop) return nullptr;
    const timespec slice{0, 20'000'000};
    gai_suspend(list, 1, &slice);
  }
  return gai_error(&request_->block) == 0 ? request_->block.ar_result : nullptr;
}

}  // namespace quillon
