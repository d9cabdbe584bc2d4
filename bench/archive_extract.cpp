// Extracts one ZIP archive with the archive helper (ov_archiver) a number of times and prints
// each run's wall time in milliseconds, one per line; bench/archive.sh compares the figures
// with unzip on the same archive.
//   bench_archive_extract <archive> <work-dir> [runs]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ov_archiver.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <archive> <work-dir> [runs]\n", argv[0]);
    return 2;
  }
  const std::string archive = argv[1];
  const std::string dest = std::string(argv[2]) + "/out";
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  for (int i = 0; i < runs; ++i) {
    std::filesystem::remove_all(dest);
    const auto t0 = std::chrono::steady_clock::now();
    std::string why;
    if (!ov::TOVArchiver::ExtractToDir(archive, dest, ov::TArchiveFormat::afZIP, {}, &why)) {
      std::fprintf(stderr, "extraction failed: %s\n", why.c_str());
      return 1;
    }
    const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - t0;
    std::printf("%.1f\n", ms.count());
  }
  std::filesystem::remove_all(dest);
  return 0;
}
