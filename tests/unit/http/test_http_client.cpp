#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "child_process.h"
#include "ov_http_client.h"
#include "test_util.h"

using namespace ov;
using namespace std::chrono_literals;

namespace {

class HttpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new ovtest::LoopbackHttp(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static std::string Url(const std::string& path) { return server_->Url(path); }
  static ov::TJSON Next() {
    auto r = server_->NextRequest();
    if (!r) throw std::runtime_error("no request reached the loopback server");
    return *r;
  }
  // Runs f, which must throw EHttpClientError; returns its message.
  template <class F>
  static std::string Failure(F&& f) {
    try {
      f();
    } catch (const EHttpClientError& e) {
      return e.what();
    }
    return "<no error>";
  }

  static ovtest::LoopbackHttp* server_;
  ovtest::TempDir dir;
};

ovtest::LoopbackHttp* HttpClientTest::server_ = nullptr;

TEST_F(HttpClientTest, GetAndPostCarryTheirHeadersAndBodies) {
  TOVHttpClient client;
  auto r = client.Get(Url("/ok"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok");
  auto got = Next();
  EXPECT_EQ(got["method"], "GET");
  EXPECT_EQ(ovtest::LoopbackHttp::Header(got, "User-Agent"), std::vector<std::string>{"Orvanta-BBS/0.5.33"});

  const std::string body = std::string("{\"a\":\"\xC3\xBC\"}\r\n") + std::string(3000, 'z');
  r = client.Post(Url("/post"), body, {{"Content-Type", "application/json"}, {"X-Test", "1"}});
  EXPECT_EQ(r.status, 200);
  got = Next();
  EXPECT_EQ(got["method"], "POST");
  EXPECT_EQ(got["body"].get<std::string>(), body);
  EXPECT_EQ(ovtest::LoopbackHttp::Header(got, "Content-Type"), std::vector<std::string>{"application/json"});
  EXPECT_EQ(ovtest::LoopbackHttp::Header(got, "X-Test"), std::vector<std::string>{"1"});
  EXPECT_TRUE(ovtest::LoopbackHttp::Header(got, "Expect").empty());

  // An error status is an answer, not a failure.
  EXPECT_EQ(client.Get(Url("/status/503")).status, 503);
  Next();

  // A header that would split into two lines never leaves the process.
  EXPECT_NE(Failure([&] { client.Get(Url("/ok"), {{"Title", "a\r\nX-Evil: 1"}}); }), "<no error>");
  EXPECT_NE(Failure([&] { client.Get(Url("/ok"), {{"Bad:Name", "x"}}); }), "<no error>");
}

TEST_F(HttpClientTest, OnlyHttpAndHttpsAlsoForRedirects) {
  TOVHttpClient client;
  auto r = client.Get(Url("/redirect?to=") + Url("/ok"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok");
  EXPECT_EQ(r.effective_url, Url("/ok"));
  Next();
  Next();

  const std::string secret = dir / "secret.txt";
  ovtest::WriteText(secret, "do not read");
  EXPECT_NE(Failure([&] { client.Get(Url("/redirect?to=file://") + secret); }).find("file"), std::string::npos);
  Next();
  EXPECT_NE(Failure([&] { client.Get("file://" + secret); }).find("http and https only"), std::string::npos);
  EXPECT_NE(Failure([&] { client.Get("ftp://127.0.0.1/x"); }), "<no error>");
  const std::string out = dir / "out.bin";
  EXPECT_NE(Failure([&] { client.DownloadToFile(Url("/redirect?to=file://") + secret, out); }), "<no error>");
  Next();
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(HttpClientTest, RepliesAndDownloadsAreCapped) {
  TOVHttpClientOptions o;
  o.max_reply_bytes = 1000;
  o.max_download_bytes = 2000;
  TOVHttpClient client(o);
  EXPECT_EQ(client.Get(Url("/bytes/1000")).body.size(), 1000u);
  Next();
  // Refused on the declared length and, without one, on the bytes received.
  EXPECT_NE(Failure([&] { client.Get(Url("/bytes/1001")); }).find("larger than 1000"), std::string::npos);
  Next();
  EXPECT_NE(Failure([&] { client.Get(Url("/stream/5000")); }).find("larger than 1000"), std::string::npos);
  Next();

  const std::string out = dir / "pkg.bin";
  EXPECT_EQ(client.DownloadToFile(Url("/bytes/2000"), out), 200);
  Next();
  EXPECT_EQ(std::filesystem::file_size(out), 2000u);
  struct Case {
    const char* path;
    const char* what;
  } cases[] = {{"/stream/2001", "larger than 2000"}, {"/status/404", "404"}, {"/truncated", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string why = Failure([&] { client.DownloadToFile(Url(c.path), out); });
    EXPECT_NE(why, "<no error>");
    EXPECT_NE(why.find(c.what), std::string::npos) << why;
    Next();
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

TEST_F(HttpClientTest, TimeOutsRefusalsAndCancelEndTheRequest) {
  TOVHttpClientOptions o;
  o.connect_timeout = 2000ms;
  o.io_timeout = 1000ms;
  TOVHttpClient client(o);
  EXPECT_NE(Failure([&] { client.Get(Url("/hang")); }), "<no error>");
  Next();
  EXPECT_NE(Failure([&] { client.Get("http://127.0.0.1:" + std::to_string(ovtest::ClosedLoopbackPort()) + "/"); }), "<no error>");

  // The cancel flag ends a transfer whether its peer says nothing or trickles, with an error of
  // its own (the peer is not at fault); a download cut short leaves no file.
  std::atomic<bool> cancel{false};
  o.io_timeout = 60000ms;
  o.cancel = &cancel;
  TOVHttpClient patient(o);
  const std::string out = dir / "cancelled.bin";
  const struct {
    const char* what;
    std::function<void()> run;
  } cases[] = {
      {"silent", [&] { patient.Post(Url("/hang"), "x"); }},
      {"trickling download", [&] { patient.DownloadToFile(Url("/trickle"), out); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cancel.store(false);
    std::thread stopper([&] {
      server_->NextRequest();  // the request has arrived and waits
      cancel.store(true);
    });
    std::string why = "<no error>";
    try {
      c.run();
    } catch (const EHttpCancelledError& e) {
      why = e.what();
    } catch (const std::exception& e) {
      why = std::string("not a cancel: ") + e.what();
    }
    stopper.join();
    EXPECT_EQ(why, "Transfer cancelled");
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
