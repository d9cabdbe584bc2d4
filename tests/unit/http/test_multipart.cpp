#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>


#include "ov_multipart.h"
#include "test_util.h"

using namespace ov;

namespace {

struct PartRecorder : TOVMultipartHandler {
  struct Part {
    TOVMultipartPart head;
    std::string data;
    bool ended = false;
  };
  std::vector<Part> parts;
  bool OnPartBegin(const TOVMultipartPart& p, std::string&) override {
    parts.push_back({p, "", false});
    return true;
  }
  bool OnPartData(const char* d, std::size_t n, std::string&) override {
    parts.back().data.append(d, n);
    return true;
  }
  bool OnPartEnd(std::string&) override {
    parts.back().ended = true;
    return true;
  }
};

const std::string kBody =
    "preamble to ignore\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"title\"\r\n"
    "\r\n"
    "hello\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"file\"; filename=\"a;b \\\"q\\\".bin\"\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "line1\r\n-XyZ\r\n\r\n--Xy\r\n--X\r\n"
    "--XyZ--\r\n"
    "epilogue --XyZ garbage";

// Feeds body in pieces of the given size.
bool FeedInPieces(TOVMultipartParser& p, const std::string& body, std::size_t piece) {
  for (std::size_t i = 0; i < body.size(); i += piece)
    if (!p.Feed(body.data() + i, std::min(piece, body.size() - i))) return false;
  return p.Finish();
}

}  // namespace

TEST(Multipart, SplitsPartsWhateverTheFeedSize) {
  for (std::size_t piece : {1u, 2u, 3u, 7u, 64u, 100000u}) {
    PartRecorder rec;
    TOVMultipartParser p("XyZ", rec);
    ASSERT_TRUE(FeedInPieces(p, kBody, piece)) << "piece " << piece << ": " << p.Error();
    ASSERT_EQ(rec.parts.size(), 2u);
    EXPECT_EQ(rec.parts[0].head.name, "title");
    EXPECT_FALSE(rec.parts[0].head.is_file);
    EXPECT_EQ(rec.parts[0].data, "hello");
    EXPECT_TRUE(rec.parts[0].head.filename.empty());
    EXPECT_EQ(rec.parts[1].head.name, "file");
    EXPECT_TRUE(rec.parts[1].head.is_file);
    EXPECT_EQ(rec.parts[1].head.filename, "a;b \"q\".bin");
    EXPECT_EQ(rec.parts[1].head.content_type, "application/octet-stream");
    // Text that merely resembles the boundary stays part of the data.
    EXPECT_EQ(rec.parts[1].data, "line1\r\n-XyZ\r\n\r\n--Xy\r\n--X");
    EXPECT_TRUE(rec.parts[1].ended);
  }
}

TEST(Multipart, EdgeCases) {
  struct Case {
    const char* name;
    std::string body;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"empty body", "", false},
      {"no closing boundary", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxx", false},
      {"closing boundary only", "--b--\r\n", true},
      {"empty part data", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n\r\n--b--", true},
      {"no line break after boundary", "--bXX\r\n", false},
      {"boundary text inside data", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--bad\r\n--b--", false},
      {"padding after boundary", "--b  \t\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--b--", true},
      {"missing disposition", "--b\r\nContent-Type: text/plain\r\n\r\nv\r\n--b--", false},
      {"not form-data", "--b\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nv\r\n--b--", false},
      {"header without colon", "--b\r\nContent-Disposition form-data\r\n\r\nv\r\n--b--", false},
      {"unterminated header block", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n", false},
      {"no preamble line break", "x--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--b--", true},
  };
  for (const auto& c : cases) {
    PartRecorder rec;
    TOVMultipartParser p("b", rec);
    EXPECT_EQ(FeedInPieces(p, c.body, 3), c.ok) << c.name << ": " << p.Error();
    if (!c.ok) {
      EXPECT_FALSE(p.Error().empty()) << c.name;
    }
  }
}

TEST(Multipart, LimitsStopTheParser) {
  TOVMultipartLimits lim;
  lim.max_parts = 2;
  lim.max_part_header_bytes = 64;
  {
    PartRecorder rec;
    TOVMultipartParser p("b", rec, lim);
    std::string body;
    for (int i = 0; i < 3; ++i) body += "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n";
    body += "--b--";
    EXPECT_FALSE(FeedInPieces(p, body, 5));
    EXPECT_EQ(p.Error(), "Too many multipart parts");
  }
  {
    PartRecorder rec;
    TOVMultipartParser p("b", rec, lim);
    std::string body = "--b\r\nContent-Disposition: form-data; name=\"" + std::string(200, 'n') + "\"\r\n\r\nv\r\n--b--";
    EXPECT_FALSE(FeedInPieces(p, body, 500));
    EXPECT_EQ(p.Error(), "Multipart part header too large");
  }
}

TEST(Multipart, ContentTypeBoundary) {
  std::string b;
  EXPECT_TRUE(IsMultipartFormData("Multipart/Form-Data; boundary=abc"));
  EXPECT_FALSE(IsMultipartFormData("multipart/mixed; boundary=abc"));
  EXPECT_TRUE(MultipartBoundary("multipart/form-data; charset=utf-8; boundary=\"a b;c\"", b));
  EXPECT_EQ(b, "a b;c");
  EXPECT_TRUE(MultipartBoundary("multipart/form-data;BOUNDARY=----WebKitFormBoundary7MA4", b));
  EXPECT_EQ(b, "----WebKitFormBoundary7MA4");
  EXPECT_FALSE(MultipartBoundary("multipart/form-data", b));
  EXPECT_FALSE(MultipartBoundary("multipart/form-data; boundary=", b));
  EXPECT_FALSE(MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'x'), b));
}

TEST(Multipart, FormReaderStoresFilesExclusivelyAndRemovesThem) {
  ovtest::TempDir tmp;
  const std::string dir = tmp.path();
  std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi there\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"pkg\"; filename=\"../../etc/passwd\"\r\n\r\n" +
      std::string(100000, 'Z') + "\r\n--b--\r\n";
  std::vector<TOVUploadedFile> files;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string kept_path;
  {
    TOVMultipartFormReader r("b", dir);
    for (std::size_t i = 0; i < body.size(); i += 4096)
      ASSERT_TRUE(r.Feed(body.data() + i, std::min<std::size_t>(4096, body.size() - i))) << r.Error();
    ASSERT_TRUE(r.Finish()) << r.Error();
    r.TakeResults(files, fields);
  }
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].first, "note");
  EXPECT_EQ(fields[0].second, "hi there");
  EXPECT_EQ(files[0].field_name, "pkg");
  EXPECT_EQ(files[0].client_name, "../../etc/passwd");  // kept as text, never a path
  EXPECT_EQ(files[0].size, 100000u);
  EXPECT_EQ(files[0].temp_path.rfind(dir + "/ov-upload-", 0), 0u);
  EXPECT_EQ(ovtest::ReadText(files[0].temp_path), std::string(100000, 'Z'));
  struct stat st {};
  ASSERT_EQ(stat(files[0].temp_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  kept_path = files[0].temp_path;
  RemoveUploadedFiles(files);
  EXPECT_NE(access(kept_path.c_str(), F_OK), 0);

  // A body that breaks off leaves no file behind.
  {
    TOVMultipartFormReader r("b", dir);
    std::string half = body.substr(0, body.size() / 2);
    ASSERT_TRUE(r.Feed(half.data(), half.size()));
    EXPECT_FALSE(r.Finish());
    EXPECT_EQ(r.ErrorStatus(), 400);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir)) << "temporary files left in " << dir;
}

TEST(Multipart, FormReaderFieldCapAndStorageFailure) {
  TOVMultipartLimits lim;
  lim.max_field_bytes = 10;
  {
    TOVMultipartFormReader r("b", "/tmp", lim);
    std::string body = "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" + std::string(100, 'x') + "\r\n--b--";
    EXPECT_FALSE(r.Feed(body.data(), body.size()));
    EXPECT_EQ(r.ErrorStatus(), 413);
  }
  {
    TOVMultipartFormReader r("b", "/nonexistent-dir-for-ov-test");
    std::string body = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\ndata\r\n--b--";
    EXPECT_FALSE(r.Feed(body.data(), body.size()));
    EXPECT_EQ(r.ErrorStatus(), 500);
  }
}
