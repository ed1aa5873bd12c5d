#include "encoder_session.h"

#include <iostream>
#include <utility>

namespace quillon::batch {

namespace {
std::function<void(std::string_view)>& messageSink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}
}  // namespace

void setMessageSink(std::function<void(std::string_view)> sink) {
  messageSink() = std::move(sink);
}

void complain(std::string_view message) {
  if (const auto& sink = messageSink()) {
    sink(message);
    return;
  }
  std::cerr << "quillon: " << message << '\n';
}

}  // namespace quillon::batch
