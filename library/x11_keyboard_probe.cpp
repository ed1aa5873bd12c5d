#include "x11_keyboard_probe.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>

namespace quillon {

namespace {

// The few Xlib entry points used, declared here so that no X11 headers
// are needed to build; the types match Xlib's (Display is opaque).
struct Display;
using OpenDisplayFn = Display* (*)(const char*);
using CloseDisplayFn = int (*)(Display*);
using QueryKeymapFn = int (*)(Display*, char[32]);
using KeysymToKeycodeFn = unsigned char (*)(Display*, unsigned long);
using IoErrorExitHandler = void (*)(Display*, void*);
using SetIoErrorExitHandlerFn = void (*)(Display*, IoErrorExitHandler, void*);
using IoErrorHandler = int (*)(Display*);
using SetIoErrorHandlerFn = IoErrorHandler (*)(IoErrorHandler);

constexpr unsigned long kEscapeKeysym = 0xff1b;  // XK_Escape

template <typename Fn>
Fn symbol(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

// When the connection to the server breaks, Xlib calls the process-wide
// I/O error handler, whose default ends the process, and then the
// display's exit handler, whose default does too. For the probe's own
// displays both return and the display is marked lost; other displays go
// to the handler that was installed before.
// Constant-initialised and trivially destructible: the default probe is
// destroyed at exit in no particular order with this file's statics.
constexpr std::size_t kMaxDisplays = 4;
constinit std::mutex g_displaysMutex;
constinit std::array<Display*, kMaxDisplays> g_ownDisplays{};
constinit IoErrorHandler g_previousIoErrorHandler = nullptr;

// Caller holds g_displaysMutex.
Display** slotOf(Display* display) {
  const auto it =
      std::find(g_ownDisplays.begin(), g_ownDisplays.end(), display);
  return it == g_ownDisplays.end() ? nullptr : &*it;
}

int onIoError(Display* display) {
  IoErrorHandler previous = nullptr;
  {
    std::lock_guard lock(g_displaysMutex);
    if (slotOf(display) != nullptr) return 0;
    previous = g_previousIoErrorHandler;
  }
  return previous != nullptr ? previous(display) : 0;
}

void onConnectionLost(Display*, void* lostFlag) {
  *static_cast<bool*>(lostFlag) = true;
}

}  // namespace

struct X11KeyboardProbe::Api {
  OpenDisplayFn openDisplay = nullptr;
  CloseDisplayFn closeDisplay = nullptr;
  QueryKeymapFn queryKeymap = nullptr;
  KeysymToKeycodeFn keysymToKeycode = nullptr;
  SetIoErrorExitHandlerFn setIoErrorExitHandler = nullptr;  // libX11 1.7+
  SetIoErrorHandlerFn setIoErrorHandler = nullptr;

  [[nodiscard]] bool complete() const {
    return openDisplay != nullptr && closeDisplay != nullptr &&
           queryKeymap != nullptr && keysymToKeycode != nullptr &&
           setIoErrorExitHandler != nullptr && setIoErrorHandler != nullptr;
  }
};

X11KeyboardProbe::~X11KeyboardProbe() {
  releaseDisplay();
  delete api_;
}

void X11KeyboardProbe::releaseDisplay() {
  auto* display = static_cast<Display*>(display_);
  if (display == nullptr) return;
  // Also after the connection was lost: Xlib then frees without a word
  // to the server.
  api_->closeDisplay(display);
  display_ = nullptr;
  std::lock_guard lock(g_displaysMutex);
  *slotOf(display) = nullptr;
  // libX11 stays loaded (the host may use it too): hand its I/O error
  // handler back, since this code may be unloaded next.
  const bool lastDisplay =
      std::all_of(g_ownDisplays.begin(), g_ownDisplays.end(),
                  [](Display* d) { return d == nullptr; });
  if (lastDisplay && g_previousIoErrorHandler != nullptr) {
    const IoErrorHandler current =
        api_->setIoErrorHandler(g_previousIoErrorHandler);
    if (current != onIoError) api_->setIoErrorHandler(current);
    g_previousIoErrorHandler = nullptr;
  }
}

bool X11KeyboardProbe::open() {
  if (triedOpen_) return isOpen();
  triedOpen_ = true;
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return false;

  library_ = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) return false;
  auto* api = new Api;
  api_ = api;
  api->openDisplay = symbol<OpenDisplayFn>(library_, "XOpenDisplay");
  api->closeDisplay = symbol<CloseDisplayFn>(library_, "XCloseDisplay");
  api->queryKeymap = symbol<QueryKeymapFn>(library_, "XQueryKeymap");
  api->keysymToKeycode =
      symbol<KeysymToKeycodeFn>(library_, "XKeysymToKeycode");
  api->setIoErrorExitHandler =
      symbol<SetIoErrorExitHandlerFn>(library_, "XSetIOErrorExitHandler");
  api->setIoErrorHandler =
      symbol<SetIoErrorHandlerFn>(library_, "XSetIOErrorHandler");
  // Without both handlers a lost server would end the caller's process.
  if (!api->complete()) return false;

  std::lock_guard lock(g_displaysMutex);
  Display** slot = slotOf(nullptr);
  if (slot == nullptr) return false;  // more probes than anyone needs
  Display* display = api->openDisplay(name);
  if (display == nullptr) return false;
  escapeKeycode_ = api->keysymToKeycode(display, kEscapeKeysym);
  if (escapeKeycode_ == 0) {
    api->closeDisplay(display);
    return false;
  }
  api->setIoErrorExitHandler(display, onConnectionLost, &connectionLost_);
  *slot = display;
  if (g_previousIoErrorHandler == nullptr)
    g_previousIoErrorHandler = api->setIoErrorHandler(onIoError);
  display_ = display;
  return true;
}

bool X11KeyboardProbe::escapeDown() {
  if (!isOpen()) return false;
  char keys[32] = {};
  api_->queryKeymap(static_cast<Display*>(display_), keys);
  if (connectionLost_) {
    releaseDisplay();
    return false;
  }
  return (keys[escapeKeycode_ / 8] & (1 << (escapeKeycode_ % 8))) != 0;
}

}  // namespace quillon
