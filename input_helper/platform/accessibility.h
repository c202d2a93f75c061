#pragma once

namespace halvorine {

// The platform's answer to "may this process inject input?". Asked anew for every request: the
// permission can be granted or withdrawn at any time. With `prompt` the platform may also ask the
// user to grant it, where it has a way to; the answer is still the present one.
class Accessibility {
 public:
  virtual ~Accessibility() = default;
  virtual bool isTrusted(bool prompt) = 0;
};

}  // namespace halvorine
