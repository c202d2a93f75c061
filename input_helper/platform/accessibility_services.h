#pragma once

namespace halvorine {

// The platform's answer to "may this process inject input?". On X11 there is no dialog, so the
// prompting query asks the same question as the plain one.
class AccessibilityServices {
 public:
  virtual ~AccessibilityServices() = default;
  virtual bool isProcessTrusted() = 0;
  virtual bool isProcessTrustedWithPrompt() = 0;
};

}  // namespace halvorine
