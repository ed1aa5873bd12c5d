#include "quillon/keyboard/x11_keyboard_probe.h"

#include <X11/Xauth.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "name_lookup.h"
#include "quillon/keyboard/fork_generation.h"

namespace quillon {

namespace {

constexpr xcb_keysym_t kEscapeKeysym = 0xff1b;  // XK_Escape
constexpr unsigned short kFamilyLocal = 256;    // Xau's FamilyLocal
constexpr unsigned short kFamilyInternet = 0;
constexpr unsigned short kFamilyInternet6 = 6;
constexpr unsigned short kFamilyWild = 65535;
constexpr std::string_view kCookieType = "MIT-MAGIC-COOKIE-1";
constexpr int kFirstTcpPort = 6000;

template <typename Fn>
void bind(void* library, const char* name, Fn*& fn) {
  fn = library != nullptr ? reinterpret_cast<Fn*>(dlsym(library, name))
                          : nullptr;
}

// The cookie the server expects, looked up the way X clients do: by the
// connection's address family and the display number.
struct Cookie {
  std::string name;
  std::string data;
};

// A socket connected to the display's server, with what its cookie is
// filed under; -1 when nothing answers the connect.
struct DisplaySocket {
  int fd = -1;
  unsigned short family = kFamilyLocal;
  std::string address;  // empty for the local host
};

// Connects without blocking; the wait for the connect ends at `deadline`
// or when `stopFd` turns readable.
int connectBy(int domain, const sockaddr* address, socklen_t length,
              X11KeyboardProbe::Clock::time_point deadline, int stopFd) {
  const int fd =
      ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, address, length) == 0) return fd;
  if (errno == EINPROGRESS) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    int error = 0;
    socklen_t size = sizeof error;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - X11KeyboardProbe::Clock::now());
    if (left.count() > 0 && ::poll(p, 2, static_cast<int>(left.count())) > 0 &&
        p[1].revents == 0 && p[0].revents != 0 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
      return fd;
  }
  ::close(fd);
  return -1;
}

DisplaySocket connectLocal(int number,
                           X11KeyboardProbe::Clock::time_point deadline,
                           int stopFd) {
  // The abstract socket first, then the file, as X servers on Linux offer.
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (bool abstract : {true, false}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    std::memcpy(address.sun_path + offset, path.c_str(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                               offset + path.size());
    const int fd =
        connectBy(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length,
                  deadline, stopFd);
    if (fd >= 0) return {fd, kFamilyLocal, {}};
  }
  return {};
}

// To the addresses of a name looked up before (from /etc/hosts for
// "localhost", as ssh -X names its displays).
DisplaySocket connectTcp(const addrinfo* found,
                         X11KeyboardProbe::Clock::time_point deadline,
                         int stopFd) {
  DisplaySocket result;
  for (const addrinfo* a = found; a != nullptr && result.fd < 0;
       a = a->ai_next) {
    result.fd =
        connectBy(a->ai_family, a->ai_addr, a->ai_addrlen, deadline, stopFd);
    if (result.fd < 0) continue;
    // A server on this machine files its cookie under the host's name.
    if (a->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
        result.family = kFamilyInternet;
        result.address.assign(reinterpret_cast<const char*>(&in->sin_addr),
                              sizeof in->sin_addr);
      }
    } else if (a->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) {
        result.family = kFamilyInternet6;
        result.address.assign(reinterpret_cast<const char*>(&in6->sin6_addr),
                              sizeof in6->sin6_addr);
      }
    }
  }
  return result;
}

}  // namespace

// The entry points used, typed by xcb's and Xau's own headers; loaded once.
struct X11KeyboardProbe::Api {
  void* xcb = nullptr;
  void* xau = nullptr;
  decltype(&xcb_parse_display) parseDisplay = nullptr;
  decltype(&xcb_connect_to_fd) connectToFd = nullptr;
  decltype(&xcb_connection_has_error) hasError = nullptr;
  decltype(&xcb_disconnect) disconnect = nullptr;
  decltype(&xcb_get_file_descriptor) fileDescriptor = nullptr;
  decltype(&xcb_get_setup) setup = nullptr;
  decltype(&xcb_flush) flush = nullptr;
  decltype(&xcb_poll_for_reply) pollForReply = nullptr;
  decltype(&xcb_poll_for_queued_event) pollForQueuedEvent = nullptr;
  decltype(&xcb_query_keymap) queryKeymap = nullptr;
  decltype(&xcb_get_keyboard_mapping) keyboardMapping = nullptr;
  decltype(&xcb_get_keyboard_mapping_reply) keyboardMappingReply = nullptr;
  decltype(&xcb_get_keyboard_mapping_keysyms) keysyms = nullptr;
  decltype(&xcb_get_keyboard_mapping_keysyms_length) keysymCount = nullptr;
  decltype(&XauFileName) authorityFileName = nullptr;  // optional
  decltype(&XauReadAuth) readAuth = nullptr;
  decltype(&XauDisposeAuth) disposeAuth = nullptr;

  Api() {
    xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    xau = dlopen("libXau.so.6", RTLD_NOW | RTLD_LOCAL);
    bind(xcb, "xcb_parse_display", parseDisplay);
    bind(xcb, "xcb_connect_to_fd", connectToFd);
    bind(xcb, "xcb_connection_has_error", hasError);
    bind(xcb, "xcb_disconnect", disconnect);
    bind(xcb, "xcb_get_file_descriptor", fileDescriptor);
    bind(xcb, "xcb_get_setup", setup);
    bind(xcb, "xcb_flush", flush);
    bind(xcb, "xcb_poll_for_reply", pollForReply);
    bind(xcb, "xcb_poll_for_queued_event", pollForQueuedEvent);
    bind(xcb, "xcb_query_keymap", queryKeymap);
    bind(xcb, "xcb_get_keyboard_mapping", keyboardMapping);
    bind(xcb, "xcb_get_keyboard_mapping_reply", keyboardMappingReply);
    bind(xcb, "xcb_get_keyboard_mapping_keysyms", keysyms);
    bind(xcb, "xcb_get_keyboard_mapping_keysyms_length", keysymCount);
    bind(xau, "XauFileName", authorityFileName);
    bind(xau, "XauReadAuth", readAuth);
    bind(xau, "XauDisposeAuth", disposeAuth);
  }
  // The libraries stay loaded: the host process may use them too, and a
  // library unloaded under its own atexit handlers is no gain.
  ~Api() = default;

  [[nodiscard]] bool usable() const {
    return parseDisplay && connectToFd && hasError && disconnect &&
           fileDescriptor && setup && flush && pollForReply &&
           pollForQueuedEvent && queryKeymap && keyboardMapping &&
           keyboardMappingReply && keysyms && keysymCount;
  }

  /// The authority file X clients read ($XAUTHORITY, else ~/.Xauthority),
  /// named from the environment: asked on the caller's thread only.
  [[nodiscard]] std::string authorityFile() const {
    if (authorityFileName == nullptr) return {};
    const char* name = authorityFileName();
    return name != nullptr ? name : "";
  }

  /// The first cookie of `file` for the display, as X clients choose it:
  /// an entry of the connection's family and address (or of any, "wild")
  /// whose display number is this one (or none).
  Cookie cookieFor(const std::string& file, const DisplaySocket& socket,
                   int number) const {
    if (file.empty() || readAuth == nullptr || disposeAuth == nullptr)
      return {};
    std::string address = socket.address;
    if (socket.family == kFamilyLocal) {
      char host[256] = {};
      if (gethostname(host, sizeof host - 1) != 0) return {};
      address = host;
    }
    const std::string display = std::to_string(number);
    FILE* entries = std::fopen(file.c_str(), "rbe");
    if (entries == nullptr) return {};
    Cookie cookie;
    while (Xauth* entry = readAuth(entries)) {
      const auto text = [](const char* data, unsigned short length) {
        return std::string_view(data, length);
      };
      const bool host =
          entry->family == kFamilyWild ||
          (entry->family == socket.family &&
           text(entry->address, entry->address_length) == address);
      const bool screen = entry->number_length == 0 ||
                          text(entry->number, entry->number_length) == display;
      const bool found = host && screen &&
                         text(entry->name, entry->name_length) == kCookieType;
      if (found)
        cookie = {std::string(entry->name, entry->name_length),
                  std::string(entry->data, entry->data_length)};
      disposeAuth(entry);
      if (found) break;
    }
    std::fclose(entries);
    return cookie;
  }
};

// One connection being set up on a thread of its own: the name lookup,
// the connect, the X handshake and the keyboard mapping all wait for
// others (a name server, the server), which may never answer. Every one
// of those waits ends at once when the attempt is stopped (the lookup is
// the C library's, the connect also waits for `stopFd`, shutting the
// socket down ends xcb's waits), so its thread can always be joined.
struct X11KeyboardProbe::Attempt {
  std::thread worker;
  Clock::time_point started = Clock::now();
  std::atomic<bool> stopping{false};
  int stopFd = ::eventfd(0, EFD_CLOEXEC);  // readable once stopping
  std::mutex mutex;
  std::condition_variable finished;
  int socketCopy = -1;  // a second descriptor of the socket, to shut it down
  std::optional<Clock::time_point> connectStarted;
  bool done = false;
  Clock::time_point ended{};
  xcb_connection_t* connection = nullptr;
  std::uint8_t escapeKeycode = 0;

  ~Attempt() {
    if (socketCopy >= 0) ::close(socketCopy);
    if (stopFd >= 0) ::close(stopFd);
  }

  void stop() {
    stopping = true;
    {
      std::lock_guard lock(mutex);
      if (socketCopy >= 0) ::shutdown(socketCopy, SHUT_RDWR);
    }
    eventfd_write(stopFd, 1);
  }

  /// In a child of fork, where the thread is not: its descriptors are
  /// closed (the child's copies only) and the rest is left as it is.
  void forget() {
    if (socketCopy >= 0) ::close(socketCopy);
    if (stopFd >= 0) ::close(stopFd);
  }

  void run(const Api& api, const std::string& host, int number,
           const std::string& authorityFile) {
    // The host's signals are not this thread's to take, and a server that
    // hangs up while xcb writes gives EPIPE here, not SIGPIPE.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const DisplaySocket socket = connect(host, number);
    xcb_connection_t* c = nullptr;
    std::uint8_t keycode = 0;
    if (socket.fd >= 0) {
      Cookie cookie = api.cookieFor(authorityFile, socket, number);
      xcb_auth_info_t auth{};
      auth.namelen = static_cast<int>(cookie.name.size());
      auth.name = cookie.name.data();
      auth.datalen = static_cast<int>(cookie.data.size());
      auth.data = cookie.data.data();
      c = api.connectToFd(socket.fd, cookie.name.empty() ? nullptr : &auth);
      if (api.hasError(c) == 0) keycode = findEscape(api, c);
    }
    std::lock_guard lock(mutex);
    connection = c;
    escapeKeycode = keycode;
    done = true;
    ended = Clock::now();
    finished.notify_all();
  }

  DisplaySocket connect(const std::string& host, int number) {
    const bool local = host.empty() || host == "unix";
    std::optional<NameLookup> lookup;
    const addrinfo* found = nullptr;
    if (!local) {
      lookup.emplace(host, std::to_string(kFirstTcpPort + number));
      found = lookup->wait(stopping);
      if (found == nullptr) return {};
    }
    const auto now = Clock::now();
    {
      std::lock_guard lock(mutex);
      connectStarted = now;
    }
    const auto deadline = now + kConnectLimit;
    DisplaySocket socket = local ? connectLocal(number, deadline, stopFd)
                                 : connectTcp(found, deadline, stopFd);
    if (socket.fd < 0) return {};
    std::lock_guard lock(mutex);
    socketCopy = ::fcntl(socket.fd, F_DUPFD_CLOEXEC, 0);
    if (socketCopy < 0 || stopping) {
      ::close(socket.fd);
      return {};
    }
    return socket;
  }

  static std::uint8_t findEscape(const Api& api, xcb_connection_t* c) {
    const xcb_setup_t* setup = api.setup(c);
    if (setup == nullptr || setup->max_keycode < setup->min_keycode) return 0;
    const auto cookie = api.keyboardMapping(
        c, setup->min_keycode,
        static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1));
    xcb_get_keyboard_mapping_reply_t* reply =
        api.keyboardMappingReply(c, cookie, nullptr);
    if (reply == nullptr) return 0;
    const xcb_keysym_t* keysyms = api.keysyms(reply);
    const int count = api.keysymCount(reply);
    const int perKey = reply->keysyms_per_keycode;
    std::uint8_t keycode = 0;
    for (int i = 0; perKey > 0 && i < count && keycode == 0; ++i) {
      if (keysyms[i] == kEscapeKeysym)
        keycode = static_cast<std::uint8_t>(setup->min_keycode + i / perKey);
    }
    std::free(reply);
    return keycode;
  }
};

X11KeyboardProbe::X11KeyboardProbe() : generation_(forkGeneration()) {}

X11KeyboardProbe::~X11KeyboardProbe() {
  dropInherited();
  if (attempt_) finishAttempt(/*stop=*/true);
  disconnect();
}

void X11KeyboardProbe::dropInherited() {
  const unsigned now = forkGeneration();
  if (now == generation_) return;
  generation_ = now;
  // The attempt's thread is the parent's, and so is the connection's
  // socket: no join, no shutdown, no disconnect (which would shut the
  // socket down under the parent). Their memory is left.
  if (attempt_) attempt_.release()->forget();
  if (connection_ != nullptr) ::close(fd_);
  forgetConnection();
  retryFrom_ = {};
}

std::span<const int> X11KeyboardProbe::wakeDescriptors() const {
  if (fd_ < 0) return {};
  return {&fd_, 1};
}

std::optional<std::chrono::milliseconds> X11KeyboardProbe::recheckInterval()
    const {
  if (isOpen() || isConnecting()) return kQueryInterval;
  return std::nullopt;
}

void X11KeyboardProbe::beginWatch() {
  dropInherited();
  escapeDown_ = false;
  pendingFromEarlierWatch_ = queryPending_;
  if (connection_ != nullptr &&
      api_->hasError(static_cast<xcb_connection_t*>(connection_)) != 0)
    disconnect();
  if (connection_ == nullptr) {
    if (!attempt_ && Clock::now() >= retryFrom_) {
      startAttempt();
      if (attempt_) {
        std::unique_lock lock(attempt_->mutex);
        attempt_->finished.wait_until(lock, attempt_->started + kConnectWait,
                                      [this] { return attempt_->done; });
      }
    }
    pollAttempt();
  }
  if (connection_ != nullptr && !queryPending_) sendQuery();
}

void X11KeyboardProbe::pollAttempt() {
  if (!attempt_) return;
  bool done = false;
  std::optional<Clock::time_point> connectStarted;
  {
    std::lock_guard lock(attempt_->mutex);
    done = attempt_->done;
    connectStarted = attempt_->connectStarted;
  }
  // The name lookup has no limit of ours: the resolver's own ends it.
  if (done ||
      (connectStarted && Clock::now() - *connectStarted > kConnectLimit))
    finishAttempt(/*stop=*/!done);
}

void X11KeyboardProbe::startAttempt() {
  // Read each time: a display named after the first read is found.
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return;
  if (!api_) api_ = std::make_unique<Api>();
  if (!api_->usable()) return;

  // The environment is the host's: read here, on its thread, never on
  // the attempt's, which may outlive this call.
  std::string authorityFile = api_->authorityFile();
  char* host = nullptr;
  int number = 0;
  if (api_->parseDisplay(name, &host, &number, nullptr) == 0) return;
  std::string hostName = host != nullptr ? host : "";
  std::free(host);

  auto attempt = std::make_unique<Attempt>();
  if (attempt->stopFd < 0) return;
  Attempt* a = attempt.get();
  const Api* api = api_.get();
  try {
    a->worker = std::thread([a, api, hostName = std::move(hostName), number,
                             file = std::move(authorityFile)] {
      a->run(*api, hostName, number, file);
    });
  } catch (const std::system_error&) {
    // No thread to be had (the process's thread limit): the key reads as
    // up, and the next read tries again. The read that asked has its frame
    // out already: its answer, not this, decides how it ends.
    return;
  }
  attempt_ = std::move(attempt);
}

void X11KeyboardProbe::finishAttempt(bool stop) {
  if (stop) attempt_->stop();
  attempt_->worker.join();
  auto* c = attempt_->connection;
  const std::uint8_t keycode = attempt_->escapeKeycode;
  const bool usable =
      c != nullptr && !stop && api_->hasError(c) == 0 && keycode != 0;
  const auto took = (stop ? Clock::now() : attempt_->ended) - attempt_->started;
  attempt_.reset();
  if (!usable) {
    if (c != nullptr) api_->disconnect(c);
    // One that failed at once (nothing listens there yet) is tried again
    // by the next call; one that the calls could not wait out is not,
    // for a while.
    if (took > kConnectWait) retryFrom_ = Clock::now() + kRetryDelay;
    return;
  }
  connection_ = c;
  fd_ = api_->fileDescriptor(c);
  escapeKeycode_ = keycode;
  queryPending_ = false;
  pendingFromEarlierWatch_ = false;
}

void X11KeyboardProbe::sendQuery() {
  auto* c = static_cast<xcb_connection_t*>(connection_);
  querySequence_ = api_->queryKeymap(c).sequence;
  // One request of 4 bytes with none other outstanding: the socket's
  // buffer always has room, so this does not wait.
  api_->flush(c);
  queryPending_ = true;
  lastQuery_ = Clock::now();
}

void X11KeyboardProbe::takeAnswer() {
  auto* c = static_cast<xcb_connection_t*>(connection_);
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (queryPending_ &&
      api_->pollForReply(c, querySequence_, &reply, &error) != 0) {
    queryPending_ = false;
    if (reply != nullptr && !pendingFromEarlierWatch_) {
      const auto* keymap = static_cast<xcb_query_keymap_reply_t*>(reply);
      escapeDown_ =
          (keymap->keys[escapeKeycode_ / 8] >> (escapeKeycode_ % 8)) & 1;
    }
    pendingFromEarlierWatch_ = false;
    std::free(reply);
    std::free(error);
  }
  // Nothing is selected, but the server may still send a few events
  // (a keyboard mapping change): drop those read with the answers so they
  // do not pile up (without reading the socket once more).
  while (xcb_generic_event_t* event = api_->pollForQueuedEvent(c))
    std::free(event);
}

bool X11KeyboardProbe::escapePressed() {
  dropInherited();
  if (connection_ == nullptr) {
    // A connection set up while a read waits is used from then on.
    pollAttempt();
    if (connection_ != nullptr) sendQuery();
    return false;
  }
  takeAnswer();
  if (api_->hasError(static_cast<xcb_connection_t*>(connection_)) != 0) {
    disconnect();  // the server went away; a later read connects again
    return false;
  }
  if (!queryPending_ && Clock::now() - lastQuery_ >= kQueryInterval)
    sendQuery();
  return escapeDown_;
}

void X11KeyboardProbe::disconnect() {
  if (connection_ == nullptr) return;
  api_->disconnect(static_cast<xcb_connection_t*>(connection_));
  forgetConnection();
}

void X11KeyboardProbe::forgetConnection() {
  connection_ = nullptr;
  fd_ = -1;
  queryPending_ = false;
  pendingFromEarlierWatch_ = false;
  escapeDown_ = false;
}

}  // namespace quillon
