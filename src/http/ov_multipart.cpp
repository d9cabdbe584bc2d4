#include "ov_multipart.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace ov {

namespace {

bool IsLwsp(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && IsLwsp(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsLwsp(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// Splits "type; a=1; b=\"x;y\"" into its pieces at semicolons outside quotes.
std::vector<std::string_view> SplitParams(std::string_view v) {
  std::vector<std::string_view> out;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (quoted && c == '\\' && i + 1 < v.size()) {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      out.push_back(TrimView(v.substr(start, i - start)));
      start = i + 1;
    }
  }
  out.push_back(TrimView(v.substr(start)));
  return out;
}

// Parameter value: a quoted string (backslash escapes one character) or a token.
std::string ParamValue(std::string_view v) {
  v = TrimView(v);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    std::string out;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
      if (v[i] == '\\' && i + 2 < v.size()) ++i;
      out.push_back(v[i]);
    }
    return out;
  }
  return std::string(v);
}

constexpr std::string_view kUploadPrefix = "ov-upload-";

}  // namespace

bool ParseContentDisposition(std::string_view value, std::string& type, std::string& name,
                             std::string& filename, bool& has_filename) {
  type.clear();
  name.clear();
  filename.clear();
  has_filename = false;
  auto pieces = SplitParams(value);
  if (pieces.empty() || pieces[0].empty()) return false;
  type = ToLowerAscii(pieces[0]);
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string_view p = pieces[i];
    if (p.empty()) continue;
    std::size_t eq = p.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key = ToLowerAscii(TrimView(p.substr(0, eq)));
    if (key == "name") {
      name = ParamValue(p.substr(eq + 1));
    } else if (key == "filename") {
      filename = ParamValue(p.substr(eq + 1));
      has_filename = true;
    }
  }
  return true;
}

bool IsMultipartFormData(std::string_view content_type) {
  auto pieces = SplitParams(content_type);
  return !pieces.empty() && EqualsIgnoreCase(pieces[0], "multipart/form-data");
}

bool MultipartBoundary(std::string_view content_type, std::string& boundary) {
  boundary.clear();
  auto pieces = SplitParams(content_type);
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::size_t eq = pieces[i].find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsIgnoreCase(TrimView(pieces[i].substr(0, eq)), "boundary")) continue;
    boundary = ParamValue(pieces[i].substr(eq + 1));
    if (boundary.empty() || boundary.size() > 70) return false;
    for (unsigned char c : boundary)
      if (c < 0x20 || c == 0x7f) return false;
    return true;
  }
  return false;
}

TOVMultipartParser::TOVMultipartParser(std::string_view boundary, TOVMultipartHandler& handler,
                                       TOVMultipartLimits limits)
    : delim_("\r\n--" + std::string(boundary)), handler_(handler), limits_(limits) {
  // The first boundary may open the body without a line break before it.
  buffer_ = "\r\n";
}

bool TOVMultipartParser::Fail(std::string msg) {
  if (state_ != State::Failed) error_ = std::move(msg);
  state_ = State::Failed;
  buffer_.clear();
  return false;
}

bool TOVMultipartParser::Feed(const char* data, std::size_t len) {
  if (state_ == State::Failed) return false;
  if (state_ == State::Epilogue) return true;  // the epilogue is ignored
  buffer_.append(data, len);
  return Process();
}

bool TOVMultipartParser::Finish() {
  if (state_ == State::Failed) return false;
  if (state_ != State::Epilogue) return Fail("Unexpected end of multipart body");
  return true;
}

bool TOVMultipartParser::ParseHeaders(std::string_view block, TOVMultipartPart& part) {
  bool have_disposition = false;
  std::string last_name;
  std::string disposition;
  std::string content_type;
  while (!block.empty()) {
    std::size_t eol = block.find("\r\n");
    std::string_view line = block.substr(0, eol);
    block = eol == std::string_view::npos ? std::string_view() : block.substr(eol + 2);
    if (line.empty()) continue;
    if (IsLwsp(line.front())) {
      // A folded continuation of the previous header.
      if (last_name == "content-disposition") disposition.append(" ").append(TrimView(line));
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return Fail("Malformed multipart part header");
    last_name = ToLowerAscii(TrimView(line.substr(0, colon)));
    std::string_view value = TrimView(line.substr(colon + 1));
    if (last_name == "content-disposition" && !have_disposition) {
      have_disposition = true;
      disposition.assign(value);
    } else if (last_name == "content-type" && content_type.empty()) {
      content_type.assign(value);
    }
  }
  if (!have_disposition) return Fail("Multipart part without Content-Disposition");
  std::string type;
  if (!ParseContentDisposition(disposition, type, part.name, part.filename, part.is_file) || type != "form-data")
    return Fail("Multipart part is not form-data");
  part.content_type = std::move(content_type);
  return true;
}

bool TOVMultipartParser::Process() {
  for (;;) {
    switch (state_) {
      case State::Failed:
        return false;
      case State::Epilogue:
        buffer_.clear();
        return true;
      case State::Preamble: {
        std::size_t pos = buffer_.find(delim_);
        if (pos == std::string::npos) {
          // Keep what could be the start of a split delimiter.
          if (buffer_.size() >= delim_.size()) buffer_.erase(0, buffer_.size() - (delim_.size() - 1));
          return true;
        }
        buffer_.erase(0, pos + delim_.size());
        state_ = State::AfterBoundary;
        break;
      }
      case State::AfterBoundary: {
        if (buffer_.size() < 2) return true;
        if (buffer_[0] == '-' && buffer_[1] == '-') {
          state_ = State::Epilogue;
          break;
        }
        // Transport padding (blanks) may follow the boundary before its line break.
        std::size_t i = 0;
        while (i < buffer_.size() && IsLwsp(buffer_[i])) ++i;
        if (i > 256) return Fail("Malformed multipart boundary line");
        if (buffer_.size() < i + 2) return true;
        if (buffer_[i] != '\r' || buffer_[i + 1] != '\n') return Fail("Malformed multipart boundary line");
        buffer_.erase(0, i + 2);
        state_ = State::Headers;
        break;
      }
      case State::Headers: {
        std::size_t end;
        std::size_t skip;
        if (buffer_.size() >= 2 && buffer_[0] == '\r' && buffer_[1] == '\n') {
          end = 0;  // no headers at all
          skip = 2;
        } else {
          end = buffer_.find("\r\n\r\n");
          if (end == std::string::npos) {
            if (buffer_.size() > limits_.max_part_header_bytes) return Fail("Multipart part header too large");
            return true;
          }
          skip = end + 4;
        }
        if (end > limits_.max_part_header_bytes) return Fail("Multipart part header too large");
        if (++parts_ > limits_.max_parts) return Fail("Too many multipart parts");
        TOVMultipartPart part;
        if (!ParseHeaders(std::string_view(buffer_).substr(0, end), part)) return false;
        buffer_.erase(0, skip);
        std::string err;
        if (!handler_.OnPartBegin(part, err)) return Fail(err.empty() ? "Multipart part refused" : err);
        state_ = State::Body;
        break;
      }
      case State::Body: {
        std::size_t pos = buffer_.find(delim_);
        std::string err;
        if (pos == std::string::npos) {
          if (buffer_.size() >= delim_.size()) {
            std::size_t emit = buffer_.size() - (delim_.size() - 1);
            if (!handler_.OnPartData(buffer_.data(), emit, err)) return Fail(err);
            buffer_.erase(0, emit);
          }
          return true;
        }
        if (pos > 0 && !handler_.OnPartData(buffer_.data(), pos, err)) return Fail(err);
        if (!handler_.OnPartEnd(err)) return Fail(err);
        buffer_.erase(0, pos + delim_.size());
        state_ = State::AfterBoundary;
        break;
      }
    }
  }
}

TOVMultipartFormReader::TOVMultipartFormReader(std::string_view boundary, std::string temp_dir,
                                               TOVMultipartLimits limits)
    : temp_dir_(std::move(temp_dir)), limits_(limits), parser_(boundary, *this, limits) {
  if (temp_dir_.empty()) temp_dir_ = DefaultUploadDir();
}

TOVMultipartFormReader::~TOVMultipartFormReader() {
  CloseCurrent();
  RemoveUploadedFiles(files_);
}

void TOVMultipartFormReader::CloseCurrent() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  in_file_ = false;
}

bool TOVMultipartFormReader::OnPartBegin(const TOVMultipartPart& part, std::string& error) {
  if (!part.is_file) {
    fields_.emplace_back(part.name, std::string());
    return true;
  }
  std::string tmpl = temp_dir_;
  if (tmpl.back() != '/') tmpl.push_back('/');
  // The process in the name: files a killed server left can be told from a running one's.
  tmpl += std::string(kUploadPrefix) + std::to_string(::getpid()) + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) {
    status_ = 500;
    error = std::string("Cannot store uploaded file: ") + std::strerror(errno);
    error_ = error;
    return false;
  }
  TOVUploadedFile f;
  f.field_name = part.name;
  f.client_name = part.filename;
  f.temp_path = buf.data();
  files_.push_back(std::move(f));
  fd_ = fd;
  in_file_ = true;
  return true;
}

bool TOVMultipartFormReader::OnPartData(const char* data, std::size_t len, std::string& error) {
  if (!in_file_) {
    field_bytes_ += len;
    if (field_bytes_ > limits_.max_field_bytes) {
      status_ = 413;
      error = "Form fields too large";
      error_ = error;
      return false;
    }
    fields_.back().second.append(data, len);
    return true;
  }
  while (len > 0) {
    ssize_t n = ::write(fd_, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      status_ = 500;
      error = std::string("Cannot store uploaded file: ") + std::strerror(n < 0 ? errno : EIO);
      error_ = error;
      return false;
    }
    data += n;
    len -= static_cast<std::size_t>(n);
    files_.back().size += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool TOVMultipartFormReader::OnPartEnd(std::string&) {
  CloseCurrent();
  return true;
}

bool TOVMultipartFormReader::Finish() {
  CloseCurrent();
  return parser_.Finish();
}

void TOVMultipartFormReader::TakeResults(std::vector<TOVUploadedFile>& files,
                                         std::vector<std::pair<std::string, std::string>>& fields) {
  CloseCurrent();
  for (auto& f : files_) files.push_back(std::move(f));
  files_.clear();
  for (auto& f : fields_) fields.push_back(std::move(f));
  fields_.clear();
}

void RemoveUploadedFiles(std::vector<TOVUploadedFile>& files) noexcept {
  for (auto& f : files) {
    if (!f.temp_path.empty()) ::unlink(f.temp_path.c_str());
    f.temp_path.clear();
  }
}

std::string DefaultUploadDir() {
  std::error_code ec;
  std::string dir = std::filesystem::temp_directory_path(ec).string();
  return ec || dir.empty() ? "/tmp" : dir;
}

int RemoveStaleUploadFiles(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> stale;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.compare(0, kUploadPrefix.size(), kUploadPrefix) != 0) continue;
    // ov-upload-<pid>-XXXXXX
    const std::size_t dash = name.find('-', kUploadPrefix.size());
    if (dash == std::string::npos || dash == kUploadPrefix.size() || name.size() != dash + 7) continue;
    long pid = 0;
    bool digits = dash - kUploadPrefix.size() <= 9;
    for (std::size_t i = kUploadPrefix.size(); digits && i < dash; ++i) {
      digits = name[i] >= '0' && name[i] <= '9';
      pid = pid * 10 + (name[i] - '0');
    }
    if (!digits || pid <= 0) continue;
    const bool gone = pid == ::getpid() || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    if (gone && e.is_regular_file(ec) && !e.is_symlink(ec)) stale.push_back(e.path());
  }
  for (const fs::path& p : stale) fs::remove(p, ec);
  return static_cast<int>(stale.size());
}

}  // namespace ov
