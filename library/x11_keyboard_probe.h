// Escape as the X server sees it: XQueryKeymap on a display of its own.
// libX11 is loaded at run time, so the library has no link-time
// dependency on it; without libX11 or a display the key reads as up.
#pragma once

#include <cstdint>

namespace quillon {

class X11KeyboardProbe {
 public:
  X11KeyboardProbe() = default;
  ~X11KeyboardProbe();
  X11KeyboardProbe(const X11KeyboardProbe&) = delete;
  X11KeyboardProbe& operator=(const X11KeyboardProbe&) = delete;

  /// Opens $DISPLAY once; later calls do nothing. False when there is no
  /// display to ask.
  bool open();
  [[nodiscard]] bool isOpen() const { return display_ != nullptr; }
  /// Whether Escape is down now (false when no display is open or the
  /// connection was lost).
  bool escapeDown();

 private:
  struct Api;
  void releaseDisplay();
  void* library_ = nullptr;
  const Api* api_ = nullptr;
  void* display_ = nullptr;
  std::uint8_t escapeKeycode_ = 0;
  bool triedOpen_ = false;
  bool connectionLost_ = false;  // set by Xlib's exit handler; for good
};

}  // namespace quillon
