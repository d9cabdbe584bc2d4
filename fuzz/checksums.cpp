// libFuzzer target for the package installer's checksum list parser and the relative-path rule
// its names go through.  For any text:
//   - every counted line has a digest of at least 63 characters without blanks or upper case;
//   - a name the path rule accepts stays inside the root: not absolute, no "." or ".."
//     component, no empty component, no backslash, NUL or control character.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ov_archiver.h"
#include "ov_plugin_installer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const ov::TOVChecksumLine& line : ov::ParseChecksumList(text)) {
    if (line.digest.size() < 63) __builtin_trap();
    for (char c : line.digest)
      if (c == ' ' || c == '\n' || (c >= 'A' && c <= 'Z')) __builtin_trap();
    std::string rel;
    if (!ov::NormaliseRelativePath(line.file, rel)) continue;
    if (rel.empty() || rel.front() == '/' || rel.back() == '/') __builtin_trap();
    std::size_t p = 0;
    while (p <= rel.size()) {
      std::size_t e = rel.find('/', p);
      if (e == std::string::npos) e = rel.size();
      const std::string_view part = std::string_view(rel).substr(p, e - p);
      if (part.empty() || part == "." || part == "..") __builtin_trap();
      for (unsigned char c : part)
        if (c < 0x20 || c == 0x7F || c == '\\') __builtin_trap();
      p = e + 1;
    }
  }
  return 0;
}
