#include "x11_keyboard_probe.h"

#include <dlfcn.h>

#include <cstdlib>

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

constexpr unsigned long kEscapeKeysym = 0xff1b;  // XK_Escape

template <typename Fn>
Fn symbol(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace

struct X11KeyboardProbe::Api {
  OpenDisplayFn openDisplay = nullptr;
  CloseDisplayFn closeDisplay = nullptr;
  QueryKeymapFn queryKeymap = nullptr;
  KeysymToKeycodeFn keysymToKeycode = nullptr;
  SetIoErrorExitHandlerFn setIoErrorExitHandler = nullptr;  // libX11 1.7+
};

namespace {

// Xlib ends the process when the connection to the server breaks, unless
// the display has an exit handler that returns. The handler marks the
// display lost; the probe then stops asking it.
void onConnectionLost(Display*, void* lostFlag) {
  *static_cast<bool*>(lostFlag) = true;
}

}  // namespace

X11KeyboardProbe::~X11KeyboardProbe() {
  if (display_ != nullptr && !connectionLost_)
    api_->closeDisplay(static_cast<Display*>(display_));
  delete api_;
  // libX11 stays loaded: it may have registered handlers of its own.
}

bool X11KeyboardProbe::open() {
  if (triedOpen_) return isOpen();
  triedOpen_ = true;
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return false;

  library_ = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) return false;
  auto* api = new Api;
  api->openDisplay = symbol<OpenDisplayFn>(library_, "XOpenDisplay");
  api->closeDisplay = symbol<CloseDisplayFn>(library_, "XCloseDisplay");
  api->queryKeymap = symbol<QueryKeymapFn>(library_, "XQueryKeymap");
  api->keysymToKeycode =
      symbol<KeysymToKeycodeFn>(library_, "XKeysymToKeycode");
  api->setIoErrorExitHandler =
      symbol<SetIoErrorExitHandlerFn>(library_, "XSetIOErrorExitHandler");
  api_ = api;
  // Without the exit handler a lost server would end the caller's process.
  if (api->openDisplay == nullptr || api->closeDisplay == nullptr ||
      api->queryKeymap == nullptr || api->keysymToKeycode == nullptr ||
      api->setIoErrorExitHandler == nullptr)
    return false;

  Display* display = api->openDisplay(name);
  if (display == nullptr) return false;
  api->setIoErrorExitHandler(display, onConnectionLost, &connectionLost_);
  escapeKeycode_ = api->keysymToKeycode(display, kEscapeKeysym);
  if (escapeKeycode_ == 0) {
    api->closeDisplay(display);
    return false;
  }
  display_ = display;
  return true;
}

bool X11KeyboardProbe::escapeDown() {
  if (display_ == nullptr || connectionLost_) return false;
  char keys[32] = {};
  api_->queryKeymap(static_cast<Display*>(display_), keys);
  if (connectionLost_) return false;
  return (keys[escapeKeycode_ / 8] & (1 << (escapeKeycode_ % 8))) != 0;
}

}  // namespace quillon
