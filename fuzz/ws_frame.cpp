// Frame reading, reassembly and the answers to close and ping over an in-memory stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "net_websocket.h"
#include "ov_stream.h"

namespace {

class MemStream final : public ov::Stream {
 public:
  explicit MemStream(std::string data) : Stream(-1), data_(std::move(data)) {}
  ov::TryResult TryRecv(void* buf, std::size_t len) noexcept override {
    if (pos_ >= data_.size()) return {ov::IoStatus::Closed, 0, ov::IoWait::None};
    // Small, uneven reads exercise frames that arrive in pieces.
    std::size_t n = std::min({len, data_.size() - pos_, static_cast<std::size_t>(1 + (pos_ % 7) * 13)});
    std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return {ov::IoStatus::Ok, n, ov::IoWait::None};
  }
  ov::TryResult TrySend(const void*, std::size_t len) noexcept override {
    written_ += len;
    return {ov::IoStatus::Ok, len, ov::IoWait::None};
  }
  void Shutdown(ov::Deadline) noexcept override {}
  std::size_t BytesAvailable() const noexcept override { return 0; }
  bool IsSecure() const noexcept override { return false; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
  std::size_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  {
    ov::TWebSocketConnection conn(std::make_unique<MemStream>(input), "fuzz");
    std::size_t delivered = 0;
    ov::TWSHandlers h;
    h.OnText = [&](std::string&& s) { delivered += s.size(); };
    h.OnBinary = [&](std::string&& s) { delivered += s.size(); };
    int frames = 0;
    while (frames < 10000 && conn.ProcessNextFrame(h, ov::DeadlineIn(std::chrono::milliseconds(100)))) ++frames;
    if (delivered > ov::WS_MAX_MESSAGE * (frames + 1)) __builtin_trap();
  }
  {
    // The parser alone, with a small cap, fed in two pieces.
    ov::TWSFrameParser p(4096);
    std::size_t cut = size ? data[0] % (size + 1) : 0;
    p.Append(input.data(), cut);
    ov::TWSFrame f;
    while (p.Next(f) == ov::TWSFrameParser::Result::Frame)
      if (f.Payload.size() > 4096) __builtin_trap();
    p.Append(input.data() + cut, size - cut);
    while (p.Next(f) == ov::TWSFrameParser::Result::Frame)
      if (f.Payload.size() > 4096) __builtin_trap();
  }
  return 0;
}
