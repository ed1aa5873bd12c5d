#include "name_lookup.h"

#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

namespace quillon {

struct NameLookup::Request {
  std::string host;
  std::string service;
  addrinfo hints{};
  gaicb block{};
  bool started = false;
};

NameLookup::NameLookup(std::string host, std::string service)
    : request_(new Request) {
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
