// Request-head and body reading on arbitrary bytes, delivered in pieces as a socket would.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ov_http_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the piece size, so split tokens and line ends get exercised.
  const std::size_t piece = 1 + data[0] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  ov::TOVHttpRequestReader reader;
  std::string in;
  std::size_t pos = 0;
  auto feed = [&] {
    if (pos >= text.size()) return false;
    in.append(text, pos, piece);
    pos += piece;
    return true;
  };
  auto r = ov::TOVHttpRequestReader::Result::NeedMore;
  while (r == ov::TOVHttpRequestReader::Result::NeedMore && feed()) r = reader.FeedHead(in);
  if (r != ov::TOVHttpRequestReader::Result::Done) return 0;

  ov::TOVHttpRequest req;
  if (reader.FillRequest(req) != ov::TOVHttpRequestReader::Result::Done) return 0;
  (void)ov::GetClientIP(req);
  std::string decoded;
  (void)ov::PercentDecodePath(req.raw_path, decoded);
  (void)ov::IsInsideRoot("/srv/web", ov::NormalisePath("/srv/web" + req.path));

  std::size_t total = 0;
  ov::TOVHttpRequestReader::BodySink sink = [&](const char*, std::size_t n) {
    total += n;
    return total < (1u << 20);
  };
  while (true) {
    r = reader.FeedBody(in, sink);
    if (r != ov::TOVHttpRequestReader::Result::NeedMore || !feed()) break;
  }
  return 0;
}
