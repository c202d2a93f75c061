#pragma once

#include <string>
#include <string_view>

#include "wire/helper_output.h"

namespace halvorine {

// Answers of input requests. Input is only carried out after the permission gate, so every one
// of them says trusted; the handlers add the fields of their own request type.
inline HelperOutput appliedAnswer(const std::string& type) {
  HelperOutput answer;
  answer.ok = true;
  answer.type = type;
  answer.applied = true;
  answer.trusted = true;
  return answer;
}

inline HelperOutput failedAnswer(const std::string& type, std::string_view reason) {
  HelperOutput answer;
  answer.ok = false;
  answer.type = type;
  answer.applied = false;
  answer.reason = std::string(reason);
  answer.trusted = true;
  return answer;
}

}  // namespace halvorine
