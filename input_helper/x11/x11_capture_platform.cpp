#include "x11/x11_platform.h"

namespace halvorine::x11 {

namespace {

// Placeholder until the capture platform lands: every listing fails.
class X11CapturePlatform final : public CapturePlatform {
 public:
  bool systemVersionAtLeast(int, int, int) override { return true; }
  uint32_t mainDisplayId() override { return 0; }
  Rect displayBounds(uint32_t) override { return Rect::null(); }
  void getShareableContent(bool, bool, ShareableContentCompletion completion) override {
    completion(std::nullopt, std::nullopt);
  }
  std::shared_ptr<ContentFilter> makeDisplayFilter(const ListedDisplay&) override {
    return nullptr;
  }
  void captureImage(std::shared_ptr<ContentFilter>, const StreamConfiguration&,
                    ScreenshotCompletion completion) override {
    completion(nullptr, std::nullopt);
  }
  std::optional<std::vector<uint8_t>> encodeJpeg(const CapturedImage&, double) override {
    return std::nullopt;
  }
  uint64_t uptimeNanoseconds() override { return 0; }
  Point currentMouseLocation() override { return {}; }
};

}  // namespace

std::unique_ptr<CapturePlatform> makeX11CapturePlatform(XConnection&) {
  return std::make_unique<X11CapturePlatform>();
}

}  // namespace halvorine::x11
