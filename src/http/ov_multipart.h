// multipart/form-data request bodies, read as a stream.
//
// TOVMultipartParser splits the body into parts without holding more than one part header
// and a boundary's length of data at a time.  TOVMultipartFormReader puts file parts into
// exclusive temporary files (mkstemp, named after the process) and keeps the other fields in
// memory, so an upload of any size allowed by the body cap never sits in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ov_http_types.h"

namespace ov {

struct TOVMultipartPart {
  std::string name;          // form field name
  std::string filename;      // client's file name (file parts)
  std::string content_type;  // the part's Content-Type, may be empty
  bool is_file = false;      // a "filename" parameter was present
};

// Receives the parts in order.  A callback that returns false stops the parser; it sets
// error to say why.
class TOVMultipartHandler {
 public:
  virtual ~TOVMultipartHandler() = default;
  virtual bool OnPartBegin(const TOVMultipartPart& part, std::string& error) = 0;
  virtual bool OnPartData(const char* data, std::size_t len, std::string& error) = 0;
  virtual bool OnPartEnd(std::string& error) = 0;
};

struct TOVMultipartLimits {
  std::size_t max_part_header_bytes = 16 * 1024;  // one part's header block
  std::size_t max_parts = 256;
  std::size_t max_field_bytes = 1024 * 1024;      // all non-file fields together
};

class TOVMultipartParser {
 public:
  TOVMultipartParser(std::string_view boundary, TOVMultipartHandler& handler,
                     TOVMultipartLimits limits = {});
  // False once the body is malformed or a callback refused; Error() says why.
  bool Feed(const char* data, std::size_t len);
  // The body ended: true only when the closing boundary was seen.
  bool Finish();
  bool Done() const noexcept { return state_ == State::Epilogue; }
  const std::string& Error() const noexcept { return error_; }

 private:
  enum class State : std::uint8_t { Preamble, AfterBoundary, Headers, Body, Epilogue, Failed };
  bool Process();
  bool Fail(std::string msg);
  bool ParseHeaders(std::string_view block, TOVMultipartPart& part);

  std::string delim_;  // CRLF "--" boundary
  TOVMultipartHandler& handler_;
  TOVMultipartLimits limits_;
  std::string buffer_;
  State state_ = State::Preamble;
  std::size_t parts_ = 0;
  std::string error_;
};

// True when the Content-Type is multipart/form-data (ignoring case).
bool IsMultipartFormData(std::string_view content_type);
// The boundary parameter (quotes removed); false when absent or not a valid boundary
// (1 to 70 characters, no control characters).
bool MultipartBoundary(std::string_view content_type, std::string& boundary);

// Parses one Content-Disposition value: disposition type, "name" and "filename".
bool ParseContentDisposition(std::string_view value, std::string& type, std::string& name,
                             std::string& filename, bool& has_filename);

class TOVMultipartFormReader final : private TOVMultipartHandler {
 public:
  TOVMultipartFormReader(std::string_view boundary, std::string temp_dir, TOVMultipartLimits limits = {});
  ~TOVMultipartFormReader() override;  // removes every temporary file not taken
  TOVMultipartFormReader(const TOVMultipartFormReader&) = delete;
  TOVMultipartFormReader& operator=(const TOVMultipartFormReader&) = delete;

  bool Feed(const char* data, std::size_t len) { return parser_.Feed(data, len); }
  bool Finish();
  const std::string& Error() const noexcept { return error_.empty() ? parser_.Error() : error_; }
  // 400 for a malformed body, 413 for a limit, 500 for a local storage failure.
  int ErrorStatus() const noexcept { return status_; }

  // Hands the files and fields over; the receiver removes the files (RemoveUploadedFiles).
  void TakeResults(std::vector<TOVUploadedFile>& files,
                   std::vector<std::pair<std::string, std::string>>& fields);

 private:
  bool OnPartBegin(const TOVMultipartPart& part, std::string& error) override;
  bool OnPartData(const char* data, std::size_t len, std::string& error) override;
  bool OnPartEnd(std::string& error) override;
  void CloseCurrent() noexcept;

  std::string temp_dir_;
  TOVMultipartLimits limits_;
  TOVMultipartParser parser_;
  std::vector<TOVUploadedFile> files_;
  std::vector<std::pair<std::string, std::string>> fields_;
  std::size_t field_bytes_ = 0;
  int fd_ = -1;             // open temporary file of the current file part
  bool in_file_ = false;
  int status_ = 400;
  std::string error_;
};

// Removes the temporary files (errors ignored) and clears their paths.
void RemoveUploadedFiles(std::vector<TOVUploadedFile>& files) noexcept;

// Where file parts go when no directory is configured: the system's temporary directory.
std::string DefaultUploadDir();
// Removes the files in dir that requests of a server no longer running left (a kill ends a
// process without its clean-up): file parts are named "ov-upload-<pid>-XXXXXX", and a file
// whose process is gone, or is this process (a new life under the same pid, before it takes
// uploads), is stale.  Returns how many were removed.
int RemoveStaleUploadFiles(const std::string& dir);

}  // namespace ov
