// The device handles: one EncoderDevice each, with no keyboard (a service
// has none; quillon_cancel ends its waits instead) and a cancel descriptor
// that its waits watch. Nothing here is shared between handles: each has
// its own port, descriptor and error text. No exception leaves through the
// C interface.
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "com_port_path.h"
#include "port_diagnosis.h"
#include "quillon.h"
#include "quillon/core/encoder_device.h"
#include "quillon/keyboard/keyboard_probe.h"

// A signal handler may set it: lock-free, so that the store is
// async-signal-safe.
static_assert(std::atomic<bool>::is_always_lock_free);

struct quillon_device {
  std::unique_ptr<quillon::KeyboardProbe> noKeyboard =
      quillon::makeNullKeyboardProbe();
  quillon::EncoderDevice device{*noKeyboard};
  /// Readable while cancelled: every wait of the device watches it.
  int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> cancelled{false};
  bool wholeReplies = false;
  std::string lastError;
};

namespace {

using quillon::Status;

// Every wait of the device: the cancel descriptor and the reply end; read
// and write add the caller's timeout (negative: none).
quillon::EncoderDevice::WaitOptions standardWaits(
    const quillon_device& handle) {
  quillon::EncoderDevice::WaitOptions options;
  options.interruptFd = handle.cancelFd;
  options.endOnCompleteReply = handle.wholeReplies;
  return options;
}

void setStandardWaits(quillon_device& handle) {
  handle.device.setWaitOptions(standardWaits(handle));
}

void setWaits(quillon_device& handle, int timeoutMs) {
  auto options = standardWaits(handle);
  options.limit = timeoutMs < 0 ? quillon::SerialPort::kNoLimit
                                : std::chrono::milliseconds(timeoutMs);
  handle.device.setWaitOptions(std::move(options));
}

quillon_result remember(quillon_device& handle,
                        quillon_result result) noexcept {
  try {
    handle.lastError = result == QUILLON_OK ? "" : quillon_result_text(result);
  } catch (...) {  // no memory for the words: none
    handle.lastError.clear();
  }
  return result;
}

// Runs an operation that sends a frame. A cancelled handle sends nothing;
// a wait ended by the cancel descriptor is the cancel (no keyboard here).
template <typename Operation>
quillon_result run(quillon_device* handle, Operation operation) noexcept {
  if (handle == nullptr) return QUILLON_ERR_NOT_OPEN;
  if (handle->cancelled.load()) return remember(*handle, QUILLON_ERR_CANCELLED);
  Status result = QUILLON_ERR_WRITE;
  try {
    setStandardWaits(*handle);  // read and write add their timeout
    result = operation(*handle);
  } catch (...) {  // std::bad_alloc building a frame: nothing was sent
    result = QUILLON_ERR_WRITE;
  }
  if (result == QUILLON_ERR_ESCAPE) result = QUILLON_ERR_CANCELLED;
  return remember(*handle, result);
}

// A wait of an operation that sends nothing after it ended: the encoder
// is reset all the same, as a cancelled read is.
Status resetIfStopped(quillon_device& handle, Status result) {
  if (result == QUILLON_ERR_ESCAPE || result == QUILLON_ERR_TIMED_OUT)
    handle.device.Reset();
  return result;
}

std::string openProblem(const char* port, int baud, std::string& pathFound) {
  if (port == nullptr) return "no port named";
  const std::string_view name(port);
  if (name.starts_with('/')) {
    pathFound = name;
  } else {
    const std::optional<int> number = portmap::comPortNumber(name);
    if (!number)
      return "\"" + std::string(name) +
             "\" is neither COMn (n 1 to 255) nor a device path beginning "
             "with /";
    portmap::Resolution resolved = portmap::resolvePort(*number);
    if (!resolved.path) return resolved.message;
    pathFound = std::move(*resolved.path);
  }
  if (baud <= 0) return "baud rate " + std::to_string(baud) + " is no rate";
  return {};
}

}  // namespace

extern "C" {

quillon_result quillon_open(const char* port, int baud,
                            quillon_device** device) {
  if (device == nullptr) return QUILLON_ERR_NOT_OPEN;
  *device = nullptr;
  try {
    *device = new quillon_device;
  } catch (...) {  // no memory
    return QUILLON_ERR_NOT_OPEN;
  }
  quillon_device* handle = *device;
  try {
    if (handle->cancelFd < 0) {
      handle->lastError =
          std::string("no descriptor for the cancel: ") + std::strerror(errno);
      return QUILLON_ERR_NOT_OPEN;
    }
    std::string path;
    handle->lastError = openProblem(port, baud, path);
    if (!handle->lastError.empty()) return QUILLON_ERR_NOT_OPEN;
    if (handle->device.Open(path, baud) != QUILLON_OK) {
      handle->lastError = portmap::portProblem(path);
      return QUILLON_ERR_NOT_OPEN;
    }
    return QUILLON_OK;
  } catch (...) {  // no memory for a text
    handle->device.Close();
    return QUILLON_ERR_NOT_OPEN;
  }
}

quillon_result quillon_close(quillon_device* device) {
  if (device == nullptr) return QUILLON_OK;
  device->device.Close();
  if (device->cancelFd >= 0) ::close(device->cancelFd);
  delete device;
  return QUILLON_OK;
}

const char* quillon_last_error(const quillon_device* device) {
  if (device == nullptr) return quillon_result_text(QUILLON_ERR_NOT_OPEN);
  return device->lastError.c_str();
}

const char* quillon_result_text(quillon_result result) {
  switch (result) {
    case QUILLON_OK: return "success";
    case QUILLON_ERR_NOT_OPEN: return "the port is not open";
    case QUILLON_ERR_NO_STATUS:
      return "no whole answer from the encoder (cut short or garbled)";
    case QUILLON_ERR_WRITE: return "the frame could not be written";
    case QUILLON_ERR_READ_START: return "the operation could not start";
    case QUILLON_ERR_DEVICE: return "the encoder reported failure";
    case QUILLON_ERR_NO_REPLY:
      return "no reply from the encoder, or the line was lost";
    case QUILLON_ERR_ESCAPE: return "Escape was pressed";
    case QUILLON_ERR_CANCELLED: return "cancelled";
    case QUILLON_ERR_TIMED_OUT: return "timed out";
  }
  return "unknown result";
}

quillon_result quillon_test_communication(quillon_device* device) {
  return run(device, [](quillon_device& h) {
    return resetIfStopped(h, h.device.TestCommunication());
  });
}

quillon_result quillon_query_status(quillon_device* device) {
  return run(device, [](quillon_device& h) {
    return resetIfStopped(h, h.device.QueryStatus());
  });
}

quillon_result quillon_reset(quillon_device* device) {
  return run(device, [](quillon_device& h) { return h.device.Reset(); });
}

quillon_result quillon_set_coercivity(quillon_device* device, int mode) {
  return run(device, [mode](quillon_device& h) {
    return h.device.SetCoercivity(mode);
  });
}

quillon_result quillon_set_track2_density(quillon_device* device, int letter) {
  return run(device, [letter](quillon_device& h) {
    return h.device.SetTrack2Density(letter);
  });
}

quillon_result quillon_erase(quillon_device* device, int code) {
  return run(device,
             [code](quillon_device& h) { return h.device.EraseCard(code); });
}

quillon_result quillon_read(quillon_device* device, int selection, char* track1,
                            size_t size1, char* track2, size_t size2,
                            char* track3, size_t size3, int timeout_ms) {
  const std::array<char*, 3> buffers{track1, track2, track3};
  const std::array<size_t, 3> sizes{size1, size2, size3};
  return run(device, [&](quillon_device& h) -> Status {
    if (!h.device.isOpen()) return QUILLON_ERR_NOT_OPEN;
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      const bool selected = (selection & (1 << i)) != 0;
      if (selected &&
          (buffers[i] == nullptr || sizes[i] < QUILLON_READ_BUFFER_SIZE))
        return QUILLON_ERR_READ_START;
      if (buffers[i] != nullptr && sizes[i] > 0) buffers[i][0] = '\0';
    }
    std::array<std::string, 3> tracks;
    setWaits(h, timeout_ms);
    const Status result = h.device.ReadTracks(selection, tracks);
    // A reply is at most 400 bytes: every track fits with its terminator.
    for (std::size_t i = 0; i < tracks.size() && result == QUILLON_OK; ++i) {
      if (buffers[i] == nullptr || (selection & (1 << i)) == 0) continue;
      std::memcpy(buffers[i], tracks[i].data(), tracks[i].size());
      buffers[i][tracks[i].size()] = '\0';
    }
    return result == QUILLON_ERR_TIMED_OUT ? resetIfStopped(h, result) : result;
  });
}

quillon_result quillon_write(quillon_device* device, int selection,
                             const char* track1, const char* track2,
                             const char* track3, int timeout_ms) {
  return run(device, [&](quillon_device& h) -> Status {
    const auto text = [selection](const char* given, int track) {
      return given == nullptr && (selection & (1 << (track - 1))) == 0 ? ""
                                                                       : given;
    };
    setWaits(h, timeout_ms);
    const Status result = h.device.WriteCard(selection, text(track1, 1),
                                             text(track2, 2), text(track3, 3));
    return result == QUILLON_ERR_TIMED_OUT ? resetIfStopped(h, result) : result;
  });
}

quillon_result quillon_set_reply_end(quillon_device* device, int mode) {
  if (device == nullptr) return QUILLON_ERR_NOT_OPEN;
  if (mode != QUILLON_REPLY_END_PAUSE && mode != QUILLON_REPLY_END_WHOLE)
    return remember(*device, QUILLON_ERR_READ_START);
  device->wholeReplies = mode == QUILLON_REPLY_END_WHOLE;
  return remember(*device,
                  device->device.isOpen() ? QUILLON_OK : QUILLON_ERR_NOT_OPEN);
}

void quillon_cancel(quillon_device* device) {
  if (device == nullptr) return;
  // Only async-signal-safe steps: a lock-free store and write(2).
  device->cancelled.store(true);
  const std::uint64_t one = 1;
  const int saved = errno;  // a signal handler must leave errno as it was
  [[maybe_unused]] const ssize_t n =
      ::write(device->cancelFd, &one, sizeof one);
  errno = saved;
}

void quillon_resume(quillon_device* device) {
  if (device == nullptr) return;
  // The flag first: a cancel that comes between the two is kept by it.
  device->cancelled.store(false);
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n =
      ::read(device->cancelFd, &count, sizeof count);
}

}  // extern "C"
