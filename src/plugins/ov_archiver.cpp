#include "ov_archiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <span>
#include <system_error>

#include "ov_format.h"
#include "ov_process.h"
#include "ov_text.h"

namespace ov {

namespace fs = std::filesystem;

namespace {

/* ---- the format tables -------------------------------------------------------------------- */

bool StartsWith(std::string_view d, std::size_t at, std::string_view sig) {
  return d.size() >= at + sig.size() && d.compare(at, sig.size(), sig) == 0;
}

struct TFormatInfo {
  TArchiveFormat format;
  const char* name;  // FormatToString
  const char* tool;  // GetToolName
  bool (*signature)(std::string_view data);
  const char* extensions[2];  // lower case, with the dot
};

using enum TArchiveFormat;

const TFormatInfo kFormats[] = {
    {afZIP, "ZIP", "unzip", [](std::string_view d) { return StartsWith(d, 0, "PK\x03\x04"); }, {".zip", ".pk"}},
    {afARC, "ARC", "arc",
     [](std::string_view d) { return d.size() >= 2 && d[0] == '\x1A' && static_cast<unsigned char>(d[1]) <= 9; },
     {".arc", ".pak"}},
    {afLHA, "LHA", "lha",
     [](std::string_view d) { return d.size() >= 5 && StartsWith(d, 2, "-l") && (d[4] == 'h' || d[4] == 'z'); },
     {".lha", ".lzh"}},
    {afARJ, "ARJ", "arj", [](std::string_view d) { return StartsWith(d, 0, "\x60\xEA"); }, {".arj", nullptr}},
    {afRAR, "RAR", "unrar", [](std::string_view d) { return StartsWith(d, 0, "Rar!\x1A\x07"); }, {".rar", nullptr}},
    {afZOO, "ZOO", "zoo", [](std::string_view d) { return StartsWith(d, 0, "ZOO"); }, {".zoo", nullptr}},
    {afHA, "HA", "ha", [](std::string_view d) { return StartsWith(d, 0, "HA"); }, {".ha", nullptr}},
    {afGZ, "GZip", "gzip", [](std::string_view d) { return StartsWith(d, 0, "\x1F\x8B"); }, {".gz", ".gzip"}},
    {afTAR, "TAR", "tar", [](std::string_view d) { return StartsWith(d, 257, "ustar"); }, {".tar", nullptr}},
    {af7Z, "7-Zip", "7z", [](std::string_view d) { return StartsWith(d, 0, "7z\xBC\xAF\x27\x1C"); }, {".7z", nullptr}},
};

// Signatures are tested in this order: the longer and more specific ones first.
constexpr TArchiveFormat kDetectOrder[] = {afZIP, afRAR, af7Z, afARJ, afGZ, afARC, afZOO, afHA, afLHA, afTAR};

const TFormatInfo* Info(TArchiveFormat f) {
  for (const TFormatInfo& i : kFormats)
    if (i.format == f) return &i;
  return nullptr;
}

// How a program extracts or tests one format.  In arguments, {A} stands for the archive's
// absolute path and {D} for the destination's.
enum class TToolDir : std::uint8_t {
  Server,  // the server's working directory
  Dest,    // the destination: the program extracts into its working directory
};
struct TToolCommand {
  TArchiveFormat format;
  const char* program;
  std::vector<const char*> args;
  TToolDir dir = TToolDir::Server;
  bool to_output_file = false;  // standard output becomes {D}/output
};

const TToolCommand kExtractCommands[] = {
    // Debian's arc reads a third argument as a name filter and extracts into its working
    // directory, so it runs inside the destination.
    {afARC, "arc", {"xo", "{A}"}, TToolDir::Dest},
    {afLHA, "lha", {"xw={D}", "{A}"}},
    // -y answers arj's "Create this directory?" (standard input is /dev/null).
    {afARJ, "arj", {"x", "{A}", "{D}/", "-y"}},
    {afRAR, "unrar", {"x", "{A}", "{D}/"}},
    {afZOO, "zoo", {"x//", "{A}"}, TToolDir::Dest},
    {afHA, "ha", {"x", "{A}"}, TToolDir::Dest},
    {afGZ, "gzip", {"-d", "-c", "{A}"}, TToolDir::Server, true},
    {afTAR, "tar", {"xf", "{A}", "-C", "{D}"}},
    {af7Z, "7z", {"x", "{A}", "-o{D}"}},
};

const TToolCommand kTestCommands[] = {
    {afZIP, "unzip", {"-t", "{A}"}}, {afARC, "arc", {"t", "{A}"}},     {afLHA, "lha", {"t", "{A}"}},
    {afARJ, "arj", {"t", "{A}"}},    {afRAR, "unrar", {"t", "{A}"}},   {afZOO, "zoo", {"-test", "{A}"}},
    {af7Z, "7z", {"t", "{A}"}},
};

const TToolCommand* FindCommand(std::span<const TToolCommand> table, TArchiveFormat f) {
  for (const TToolCommand& c : table)
    if (c.format == f) return &c;
  return nullptr;
}

std::string Substitute(std::string_view arg, const std::string& archive, const std::string& dest) {
  std::string out;
  for (std::size_t i = 0; i < arg.size(); ++i) {
    if (arg.compare(i, 3, "{A}") == 0) {
      out += archive;
      i += 2;
    } else if (arg.compare(i, 3, "{D}") == 0) {
      out += dest;
      i += 2;
    } else {
      out += arg[i];
    }
  }
  return out;
}

std::vector<std::string> CommandLine(const TToolCommand& c, const std::string& archive, const std::string& dest) {
  std::vector<std::string> argv{c.program};
  for (const char* a : c.args) argv.push_back(Substitute(a, archive, dest));
  return argv;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

/* ---- ZIP: checks before anything is written ----------------------------------------------- */

struct ZipCloser {
  void operator()(zip_t* z) const noexcept { zip_discard(z); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;
struct ZipFileCloser {
  void operator()(zip_file_t* f) const noexcept { zip_fclose(f); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;

class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Le64(const unsigned char* p) { return Le32(p) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32); }

bool ReadAt(int fd, std::uint64_t offset, std::size_t n, std::string& out) {
  out.resize(n);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, out.data() + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

// libzip turns a NUL inside a name into a space, so a NUL could never cut a path short; it is
// refused all the same, since no honest archiver writes one.  This walks the central
// directory's raw names (the same directory libzip reads) and refuses one holding a NUL.
void CheckRawNames(const std::string& archive, std::uint64_t expected_entries) {
  const int fd = ::open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Refused(std::string("cannot open archive: ") + std::strerror(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw Refused("cannot read archive");
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  // The end record is in the last 22 + 65535 bytes.
  const std::uint64_t tail_len = std::min<std::uint64_t>(size, 22 + 65535);
  std::string tail;
  if (!ReadAt(fd, size - tail_len, tail_len, tail)) throw Refused("cannot read archive");
  const auto* t = reinterpret_cast<const unsigned char*>(tail.data());
  std::size_t eocd = std::string::npos;
  for (std::size_t i = tail.size() >= 22 ? tail.size() - 22 + 1 : 0; i-- > 0;) {
    if (Le32(t + i) == 0x06054b50u) {
      eocd = i;
      break;
    }
  }
  if (eocd == std::string::npos) throw Refused("no ZIP end record");
  std::uint64_t cd_size = Le32(t + eocd + 12);
  std::uint64_t cd_offset = Le32(t + eocd + 16);
  if (cd_size == 0xFFFFFFFFu || cd_offset == 0xFFFFFFFFu || Le16(t + eocd + 10) == 0xFFFF) {
    // ZIP64: the locator just before the end record names the ZIP64 end record.
    std::string rec;
    const std::uint64_t eocd_pos = size - tail_len + eocd;
    if (eocd_pos < 20 || !ReadAt(fd, eocd_pos - 20, 20, rec)) throw Refused("bad ZIP64 locator");
    const auto* l = reinterpret_cast<const unsigned char*>(rec.data());
    if (Le32(l) != 0x07064b50u) throw Refused("bad ZIP64 locator");
    const std::uint64_t at = Le64(l + 8);
    if (at > size || !ReadAt(fd, at, 56, rec)) throw Refused("bad ZIP64 end record");
    l = reinterpret_cast<const unsigned char*>(rec.data());
    if (Le32(l) != 0x06064b50u) throw Refused("bad ZIP64 end record");
    cd_size = Le64(l + 40);
    cd_offset = Le64(l + 48);
  }
  if (cd_offset > size || cd_size > size - cd_offset) throw Refused("central directory outside the archive");
  std::string cd;
  if (!ReadAt(fd, cd_offset, static_cast<std::size_t>(cd_size), cd)) throw Refused("cannot read central directory");
  const auto* c = reinterpret_cast<const unsigned char*>(cd.data());
  std::uint64_t seen = 0;
  for (std::size_t p = 0; p + 46 <= cd.size() && Le32(c + p) == 0x02014b50u; ++seen) {
    const std::size_t name_len = Le16(c + p + 28);
    const std::size_t rest = name_len + Le16(c + p + 30) + Le16(c + p + 32);
    if (p + 46 + rest > cd.size()) throw Refused("truncated central directory");
    if (std::memchr(c + p + 46, 0, name_len)) throw Refused("entry name with NUL");
    p += 46 + rest;
  }
  // libzip found entries this walk did not see (or the other way round): not one archive.
  if (seen != expected_entries) throw Refused("inconsistent central directory");
}

struct TPlannedEntry {
  zip_uint64_t index;
  std::string path;  // normalised, relative to the destination
  bool is_dir;
  std::uint64_t size;  // declared
};

// Every entry checked before anything is written.
std::vector<TPlannedEntry> PlanZip(zip_t* z, const std::string& archive, const TArchiveLimits& limits) {
  const zip_int64_t n = zip_get_num_entries(z, 0);
  if (n < 0) throw Refused("cannot read the entry list");
  if (static_cast<std::uint64_t>(n) > limits.max_entries)
    throw Refused(Format("more than %d entries", limits.max_entries));
  CheckRawNames(archive, static_cast<std::uint64_t>(n));
  std::vector<TPlannedEntry> plan;
  plan.reserve(static_cast<std::size_t>(n));
  std::set<std::string> seen;
  std::uint64_t total = 0;
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(n); ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z, i, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE))
      throw Refused("unreadable entry");
    const std::string_view name(st.name);
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(z, i, 0, &opsys, &attributes) != 0) throw Refused("unreadable entry");
    bool is_dir = !name.empty() && name.back() == '/';
    if (opsys == ZIP_OPSYS_UNIX) {
      const mode_t type = static_cast<mode_t>(attributes >> 16) & S_IFMT;
      if (type == S_IFLNK) throw Refused("symlink entry");
      if (type != 0 && type != S_IFREG && type != S_IFDIR) throw Refused("special file entry");
      is_dir = is_dir || type == S_IFDIR;
    }
    TPlannedEntry e{i, {}, is_dir, st.size};
    if (!NormaliseRelativePath(name, e.path)) throw Refused("entry outside the destination");
    if (is_dir && st.size != 0) throw Refused("directory entry with data");
    if (!seen.insert(e.path).second) throw Refused("duplicate entry");
    total += st.size;
    if (st.size > limits.max_total_bytes || total > limits.max_total_bytes)
      throw Refused(Format("more than %d bytes uncompressed", limits.max_total_bytes));
    plan.push_back(std::move(e));
  }
  return plan;
}

/* ---- ZIP: writing ------------------------------------------------------------------------- */

// What one extraction created, removed again (deepest first) when it does not complete.
class TCreated {
 public:
  ~TCreated() {
    if (keep_) return;
    std::error_code ec;
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) fs::remove(*it, ec);
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) fs::remove(*it, ec);
  }
  void File(std::string p) { files_.push_back(std::move(p)); }
  void Dir(std::string p) { dirs_.push_back(std::move(p)); }
  void Keep() { keep_ = true; }

 private:
  std::vector<std::string> files_, dirs_;
  bool keep_ = false;
};

// Creates the directories of a relative path below root, one component at a time; a component
// that exists must be a real directory (a symlink there would lead outside the root).
void MakeDirs(const std::string& root, std::string_view rel, std::set<std::string>& known, TCreated& created) {
  std::size_t p = 0;
  while (p < rel.size()) {
    std::size_t e = rel.find('/', p);
    if (e == std::string_view::npos) e = rel.size();
    const std::string sub(rel.substr(0, e));
    if (!known.count(sub)) {
      const std::string full = root + "/" + sub;
      if (::mkdir(full.c_str(), 0755) == 0) {
        created.Dir(full);
      } else {
        struct stat st {};
        if (errno != EEXIST || ::lstat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
          throw Refused("cannot create directory " + sub);
      }
      known.insert(sub);
    }
    p = e + 1;
  }
}

void WriteZip(zip_t* z, const std::vector<TPlannedEntry>& plan, const std::string& root, const TArchiveLimits& limits,
              TCreated& created) {
  std::set<std::string> known;
  std::uint64_t total = 0;
  std::vector<char> buf(1 << 20);
  for (const TPlannedEntry& e : plan) {
    if (e.is_dir) {
      MakeDirs(root, e.path, known, created);
      continue;
    }
    const std::size_t slash = e.path.rfind('/');
    if (slash != std::string::npos) MakeDirs(root, std::string_view(e.path).substr(0, slash), known, created);
    const std::string full = root + "/" + e.path;
    ZipFilePtr in(zip_fopen_index(z, e.index, 0));
    if (!in) throw Refused("cannot read " + e.path + ": " + zip_strerror(z));
    int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      created.File(full);
    } else if (errno == EEXIST) {
      fd = ::open(full.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) throw Refused("cannot create " + e.path + ": " + std::strerror(errno));
    struct FdCloser {
      int fd;
      ~FdCloser() {
        if (fd >= 0) ::close(fd);
      }
    } closer{fd};
    std::uint64_t written = 0;
    for (;;) {
      const zip_int64_t got = zip_fread(in.get(), buf.data(), buf.size());
      if (got < 0) throw Refused("cannot read " + e.path + ": " + zip_file_strerror(in.get()));
      if (got == 0) break;
      written += static_cast<std::uint64_t>(got);
      total += static_cast<std::uint64_t>(got);
      // The declared sizes were checked; the data must not exceed them.
      if (written > e.size || total > limits.max_total_bytes) throw Refused("entry larger than declared: " + e.path);
      const char* p = buf.data();
      std::size_t left = static_cast<std::size_t>(got);
      while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw Refused("cannot write " + e.path + ": " + std::strerror(w < 0 ? errno : EIO));
        p += w;
        left -= static_cast<std::size_t>(w);
      }
    }
    if (written != e.size) throw Refused("entry shorter than declared: " + e.path);
    closer.fd = -1;
    if (::close(fd) != 0) throw Refused("cannot write " + e.path + ": " + std::strerror(errno));
  }
}

bool ExtractZip(const std::string& archive, const std::string& dest, const TArchiveLimits& limits,
                std::string& error) {
  int zerr = 0;
  ZipPtr z(zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &zerr));
  if (!z) {
    zip_error_t e;
    zip_error_init_with_code(&e, zerr);
    error = std::string("not a readable ZIP archive: ") + zip_error_strerror(&e);
    zip_error_fini(&e);
    return false;
  }
  try {
    const std::vector<TPlannedEntry> plan = PlanZip(z.get(), archive, limits);
    TCreated created;
    WriteZip(z.get(), plan, dest, limits, created);
    created.Keep();
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

/* ---- external programs -------------------------------------------------------------------- */

// After an external program: whatever it left that is not a plain file or directory is removed
// and the extraction refused (a symlink would lead the caller outside the destination).
bool OnlyFilesAndDirs(const std::string& dest, std::string& error) {
  std::error_code ec;
  bool clean = true;
  std::vector<fs::path> bad;
  for (fs::recursive_directory_iterator it(dest, fs::directory_options::none, ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::file_status s = it->symlink_status(ec);
    if (ec) break;
    if (!fs::is_regular_file(s) && !fs::is_directory(s)) {
      bad.push_back(it->path());
      if (fs::is_symlink(s)) it.disable_recursion_pending();
    }
  }
  if (ec) {
    error = "cannot read the extracted files: " + ec.message();
    return false;
  }
  for (const fs::path& p : bad) {
    fs::remove(p, ec);
    clean = false;
  }
  if (!clean) error = "the archive held a symlink or special file";
  return clean;
}

bool ExtractExternal(const std::string& archive, const std::string& dest, TArchiveFormat format,
                     const TArchiveLimits& limits, std::string& error) {
  const TToolCommand* cmd = FindCommand(kExtractCommands, format);
  if (!cmd) {
    error = "unknown archive format";
    return false;
  }
  // The program may run in the destination: the archive's path must not depend on the
  // working directory (an absolute path also never reads as an option).
  const std::string a = Absolute(archive), d = Absolute(dest);
  const std::vector<std::string> argv = CommandLine(*cmd, a, d);
  TOVProcessOptions o;
  o.program = argv[0];
  o.args.assign(argv.begin() + 1, argv.end());
  o.timeout = limits.tool_timeout;
  if (cmd->dir == TToolDir::Dest) o.working_dir = d;
  if (cmd->to_output_file) {
    o.output = TOVProcessOutput::File;
    o.output_file = d + "/output";
    o.max_output = static_cast<std::size_t>(limits.max_total_bytes);
    o.merge_stderr = false;
  }
  try {
    const TOVProcessResult r = RunProcess(o);
    if (r.timed_out) {
      error = Format("%s did not finish in time", cmd->program);
      return false;
    }
    if (r.output_truncated && cmd->to_output_file) {
      error = Format("more than %d bytes uncompressed", limits.max_total_bytes);
      return false;
    }
    if (r.exit_code != 0) {
      error = Format("%s failed (exit %d)", cmd->program, r.exit_code);
      return false;
    }
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  return OnlyFilesAndDirs(d, error);
}

}  // namespace

/* ---- path rule ---------------------------------------------------------------------------- */

bool NormaliseRelativePath(std::string_view name, std::string& out) {
  out.clear();
  if (name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos) return false;
  std::size_t p = 0;
  while (p <= name.size()) {
    std::size_t e = name.find('/', p);
    if (e == std::string_view::npos) e = name.size();
    const std::string_view part = name.substr(p, e - p);
    if (!part.empty() && part != ".") {
      if (!IsSafeName(part)) return false;
      if (!out.empty()) out += '/';
      out += part;
    }
    p = e + 1;
  }
  return !out.empty();
}

/* ---- detection ---------------------------------------------------------------------------- */

TArchiveFormat TOVArchiver::DetectFormat(std::string_view data) {
  if (data.size() < 4) return afUnknown;
  for (TArchiveFormat f : kDetectOrder)
    if (Info(f)->signature(data)) return f;
  return afUnknown;
}

TArchiveFormat TOVArchiver::DetectFormatByExt(std::string_view file_name) {
  const std::size_t slash = file_name.find_last_of('/');
  const std::string_view base = slash == std::string_view::npos ? file_name : file_name.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot == std::string_view::npos) return afUnknown;
  const std::string ext = ToLowerAscii(base.substr(dot));
  for (const TFormatInfo& i : kFormats)
    for (const char* e : i.extensions)
      if (e && ext == e) return i.format;
  // Numbered parts of split archives: .z01, .a01, ...
  if (ext.size() == 4 && ext[1] == 'z') return afZIP;
  if (ext.size() == 4 && ext[1] == 'a') return afARC;
  return afUnknown;
}

std::string TOVArchiver::FormatToString(TArchiveFormat format) {
  const TFormatInfo* i = Info(format);
  return i ? i->name : "Unknown";
}

std::string TOVArchiver::GetToolName(TArchiveFormat format) {
  const TFormatInfo* i = Info(format);
  return i ? i->tool : "";
}

bool TOVArchiver::IsToolAvailable(TArchiveFormat format) {
  if (format == afZIP || format == afGZ) return true;
  const std::string tool = GetToolName(format);
  if (tool.empty()) return false;
  std::string output;
  return RunExternal({"which", tool}, output) == 0;
}

/* ---- running programs --------------------------------------------------------------------- */

int TOVArchiver::RunExternal(const std::vector<std::string>& argv, std::string& output, const std::string& working_dir,
                             std::chrono::milliseconds timeout) {
  output.clear();
  try {
    if (argv.empty()) throw EOVProcessError("no program given");
    TOVProcessOptions o;
    o.program = argv[0];
    o.args.assign(argv.begin() + 1, argv.end());
    o.working_dir = working_dir;
    o.timeout = timeout;
    TOVProcessResult r = RunProcess(o);
    if (r.timed_out) {
      output = Format("Error: %s did not finish within %d ms", argv[0], timeout.count());
      return -1;
    }
    output = std::move(r.output);
    return r.exit_code;
  } catch (const std::exception& e) {
    output = std::string("Error: ") + e.what();
    return -1;
  }
}

/* ---- extraction, listing, testing --------------------------------------------------------- */

bool TOVArchiver::ExtractToDir(const std::string& archive, const std::string& dest_dir, TArchiveFormat format,
                               const TArchiveLimits& limits, std::string* error) {
  std::string why;
  bool ok = false;
  try {
    if (format == afUnknown) {
      why = "unknown archive format";
    } else {
      fs::create_directories(dest_dir);
      ok = format == afZIP ? ExtractZip(archive, dest_dir, limits, why)
                           : ExtractExternal(archive, dest_dir, format, limits, why);
    }
  } catch (const std::exception& e) {
    why = e.what();
    ok = false;
  }
  if (error) *error = ok ? std::string() : why;
  return ok;
}

std::string TOVArchiver::ExtractFirst(std::string_view data, TArchiveFormat format, std::string& file_name,
                                      const TArchiveLimits& limits) {
  file_name.clear();
  if (format != afZIP || data.empty()) return {};
  zip_error_t err;
  zip_error_init(&err);
  zip_source_t* src = zip_source_buffer_create(data.data(), data.size(), 0, &err);
  zip_error_fini(&err);
  if (!src) return {};
  zip_error_init(&err);
  ZipPtr z(zip_open_from_source(src, ZIP_RDONLY, &err));
  zip_error_fini(&err);
  if (!z) {
    zip_source_free(src);
    return {};
  }
  if (zip_get_num_entries(z.get(), 0) < 1) return {};
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(z.get(), 0, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) return {};
  ZipFilePtr in(zip_fopen_index(z.get(), 0, 0));
  if (!in) return {};
  std::string out;
  char buf[65536];
  for (;;) {
    const zip_int64_t got = zip_fread(in.get(), buf, sizeof buf);
    if (got < 0) return {};
    if (got == 0) break;
    if (out.size() + static_cast<std::uint64_t>(got) > limits.max_total_bytes) return {};
    out.append(buf, static_cast<std::size_t>(got));
  }
  file_name = st.name;
  return out;
}

TArchiveEntryArray TOVArchiver::ListContents(const std::string& archive, TArchiveFormat format) {
  TArchiveEntryArray out;
  if (format != afZIP) return out;
  int zerr = 0;
  ZipPtr z(zip_open(archive.c_str(), ZIP_RDONLY, &zerr));
  if (!z) return out;
  const zip_int64_t n = zip_get_num_entries(z.get(), 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(z.get(), static_cast<zip_uint64_t>(i), 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) break;
    TArchiveEntry e;
    e.FileName = st.name;
    e.Size = static_cast<std::int64_t>(st.size);
    e.CompressedSize = static_cast<std::int64_t>(st.comp_size);
    e.IsDirectory = !e.FileName.empty() && e.FileName.back() == '/';
    out.push_back(std::move(e));
  }
  return out;
}

bool TOVArchiver::TestArchive(const std::string& archive, TArchiveFormat format) {
  const TToolCommand* cmd = FindCommand(kTestCommands, format);
  if (!cmd) return false;
  std::string output;
  return RunExternal(CommandLine(*cmd, Absolute(archive), {}), output) == 0;
}

}  // namespace ov
