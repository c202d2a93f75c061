#pragma once

// Checks of capture answers that the end-to-end tests of every backend share.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "capture_pictures.h"

namespace halvorine::testing {

// The answer's frame; an empty picture when it carries none.
inline Picture pictureOf(const nlohmann::json& a) {
  if (!a.contains("frameBase64")) return {};
  return decodeJpeg(base64Decode(a.at("frameBase64").get<std::string>()));
}

// The answer's frame decodes at its stated size and byte count and shows the test picture from
// desktop pixel (left, top).
inline void expectPicture(const nlohmann::json& a, int left, int top, double minimumPsnr) {
  const Picture p = decodeJpeg(base64Decode(a.at("frameBase64").get<std::string>()));
  ASSERT_EQ(p.width, a.at("frameWidth").get<int>());
  ASSERT_EQ(p.height, a.at("frameHeight").get<int>());
  EXPECT_EQ(base64Decode(a.at("frameBase64").get<std::string>()).size(),
            a.at("frameBytes").get<size_t>());
  const double match = psnr(p, left, top);
  EXPECT_GE(match, minimumPsnr);
  // The picture is where it should be, not a few pixels off.
  EXPECT_GT(match, psnr(p, left + 5, top + 3) + 3);
}

}  // namespace halvorine::testing
