// The multipart/form-data reader on arbitrary bodies, delivered in pieces.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ov_multipart.h"

namespace {

struct CountingHandler : ov::TOVMultipartHandler {
  std::size_t parts = 0, bytes = 0;
  bool open = false;
  bool OnPartBegin(const ov::TOVMultipartPart&, std::string&) override {
    if (open) __builtin_trap();  // a part began while another was still open
    open = true;
    ++parts;
    return true;
  }
  bool OnPartData(const char*, std::size_t n, std::string&) override {
    if (!open) __builtin_trap();
    bytes += n;
    return true;
  }
  bool OnPartEnd(std::string&) override {
    if (!open) __builtin_trap();
    open = false;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = 1 + data[0] % 32;
  const std::size_t blen = 1 + data[1] % 8;
  if (size < 2 + blen) return 0;
  const std::string boundary(reinterpret_cast<const char*>(data + 2), blen);
  const std::string body(reinterpret_cast<const char*>(data + 2 + blen), size - 2 - blen);

  // Content-Type parsing sees the same bytes.
  std::string b;
  (void)ov::MultipartBoundary("multipart/form-data; " + body.substr(0, 200), b);
  std::string type, name, filename;
  bool has_file = false;
  (void)ov::ParseContentDisposition(body.substr(0, 300), type, name, filename, has_file);

  CountingHandler h;
  ov::TOVMultipartLimits lim;
  lim.max_parts = 64;
  ov::TOVMultipartParser parser(boundary, h, lim);
  bool ok = true;
  for (std::size_t i = 0; ok && i < body.size(); i += piece)
    ok = parser.Feed(body.data() + i, std::min(piece, body.size() - i));
  if (ok && parser.Finish() && h.open) __builtin_trap();  // a finished body left a part open
  return 0;
}
