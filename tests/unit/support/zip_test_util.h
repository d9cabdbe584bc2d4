// ZIP archives written with libzip for the tests of code that unpacks them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <string>
#include <vector>

namespace ovtest {

struct ZipEntry {
  std::string name;
  std::string data;
  mode_t mode = 0;  // Unix type and permissions; 0: no Unix attributes
};

// Writes a ZIP archive (directory entries end with "/").
inline void MakeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  for (const ZipEntry& e : entries) {
    zip_int64_t i;
    if (!e.name.empty() && e.name.back() == '/') {
      i = zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_UTF_8);
    } else {
      zip_source_t* src = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
      i = zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    }
    ASSERT_GE(i, 0) << e.name << ": " << zip_strerror(z);
    if (e.mode) zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX, e.mode << 16);
  }
  ASSERT_EQ(zip_close(z), 0);
}

}  // namespace ovtest
