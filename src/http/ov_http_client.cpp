#include "ov_http_client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "ov_config.h"
#include "ov_consts.h"
#include "ov_format.h"
#include "ov_text.h"

namespace ov {

namespace {

constexpr const char* kAllowedProtocols = "http,https";

struct CurlDeleter {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
struct MultiDeleter {
  void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};

// How long a transfer waits on a silent peer before it looks at its cancel flag again.
constexpr int kCancelPollMs = 100;

bool HasScheme(std::string_view url, std::string_view scheme) {
  return url.size() > scheme.size() && EqualsIgnoreCase(url.substr(0, scheme.size()), scheme);
}

void CheckHeader(const std::string& name, const std::string& value) {
  auto bad = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
  bool ok = !name.empty() && name.find(':') == std::string::npos;
  for (char c : name) ok = ok && !bad(c) && c != ' ' && c != '\t';
  for (char c : value) ok = ok && !bad(c);
  if (!ok) throw EHttpClientError("Invalid request header: " + name);
}

// Runs the transfer of c to its end, as curl_easy_perform would, but looks at the cancel flag
// after every step and at least every kCancelPollMs: libcurl's own loop calls its progress
// function only about once a second while the peer sends nothing, too late for a stop that
// should be over in about a second.  cancelled: the flag ended the transfer.
CURLcode RunTransfer(CURL* c, const std::atomic<bool>* cancel, bool& cancelled) {
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), c) != CURLM_OK) throw EHttpClientError("HTTP client set-up failed");
  struct Detach {
    CURLM* m;
    CURL* c;
    ~Detach() { curl_multi_remove_handle(m, c); }
  } detach{multi.get(), c};
  const auto check = [](CURLMcode mc) {
    if (mc != CURLM_OK) throw EHttpClientError(std::string("HTTP client failed: ") + curl_multi_strerror(mc));
  };
  for (;;) {
    int running = 0;
    check(curl_multi_perform(multi.get(), &running));
    if (running == 0) break;
    if (cancel && cancel->load()) {
      cancelled = true;
      return CURLE_ABORTED_BY_CALLBACK;
    }
    check(curl_multi_poll(multi.get(), nullptr, 0, kCancelPollMs, nullptr));
  }
  int left = 0;
  while (const CURLMsg* msg = curl_multi_info_read(multi.get(), &left))
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) return msg->data.result;
  throw EHttpClientError("HTTP client failed: the transfer ended without a result");
}

std::uint64_t DownloadCap(std::uint64_t configured) {
  if (configured) return configured;
  if (auto cfg = Config.Get()) return static_cast<std::uint64_t>(cfg->MaxBodyBytes());
  return 100ull * 1024 * 1024;
}

}  // namespace

void HttpClientGlobalInit() {
  static std::once_flag once;
  static CURLcode rc = CURLE_OK;
  std::call_once(once, [] { rc = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (rc != CURLE_OK) throw EHttpClientError(std::string("HTTP client set-up failed: ") + curl_easy_strerror(rc));
}

// Where the reply goes and what the transfer saw.
struct TOVHttpClient::Transfer {
  std::string* body = nullptr;  // in memory, or
  int fd = -1;                  // into a file
  std::uint64_t cap = 0;
  std::uint64_t received = 0;
  bool over_cap = false;
  int write_errno = 0;
  const std::atomic<bool>* cancel = nullptr;
  bool cancelled = false;
  long status = 0;
  std::string content_type;
  std::string effective_url;

  static size_t Write(char* data, size_t size, size_t nmemb, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * nmemb;
    if (t->received + n > t->cap) {
      t->over_cap = true;
      return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    t->received += n;
    if (t->body) {
      t->body->append(data, n);
      return n;
    }
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(t->fd, data + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        t->write_errno = w < 0 ? errno : EIO;
        return 0;
      }
      done += static_cast<size_t>(w);
    }
    return n;
  }
};

TOVHttpClient::TOVHttpClient(TOVHttpClientOptions options) : options_(std::move(options)) { HttpClientGlobalInit(); }

void TOVHttpClient::Perform(const std::string& url, const std::string* post_body, const TOVHttpHeaders& headers,
                            Transfer& t) const {
  // Checked here as well as by libcurl so the message says what was wrong.
  if (!HasScheme(url, "http://") && !HasScheme(url, "https://"))
    throw EHttpClientError("Unsupported URL (http and https only): " + url.substr(0, url.find(':')));
  std::unique_ptr<curl_slist, SlistDeleter> list;
  auto add = [&list](const std::string& line) {
    curl_slist* l = curl_slist_append(list.get(), line.c_str());
    if (!l) throw std::bad_alloc();
    list.release();
    list.reset(l);
  };
  for (const auto& [name, value] : headers) {
    CheckHeader(name, value);
    add(name + ": " + value);
  }
  // No "Expect: 100-continue" round trip before a body.
  if (post_body) add("Expect:");

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) throw EHttpClientError("HTTP client set-up failed");
  CURL* c = curl.get();
  char errbuf[CURL_ERROR_SIZE] = {};
  const long io_seconds = std::max<long>(1, static_cast<long>((options_.io_timeout.count() + 999) / 1000));
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, options_.max_redirects);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connect_timeout.count()));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, io_seconds);
  if (options_.total_timeout.count() > 0)
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.total_timeout.count()));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.cap));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transfer::Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  if (list) curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  if (post_body) {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post_body->size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, post_body->data());
  }

  const CURLcode rc = RunTransfer(c, t.cancel, t.cancelled);
  if (rc != CURLE_OK) {
    if (t.cancelled) throw EHttpCancelledError();
    if (t.over_cap || rc == CURLE_FILESIZE_EXCEEDED)
      throw EHttpClientError(Format("Reply larger than %d bytes", t.cap));
    if (t.write_errno) throw EHttpClientError(std::string("Write failed: ") + std::strerror(t.write_errno));
    std::string why = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
    if (rc == CURLE_OPERATION_TIMEDOUT) throw EHttpTimeoutError(why);
    throw EHttpClientError(why);
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &t.status);
  char* ct = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &ct) == CURLE_OK && ct) t.content_type = ct;
  char* eff = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &eff) == CURLE_OK && eff) t.effective_url = eff;
}

TOVHttpClientReply TOVHttpClient::Request(const std::string& url, const std::string* post_body,
                                          const TOVHttpHeaders& headers) const {
  TOVHttpClientReply reply;
  Transfer t;
  t.body = &reply.body;
  t.cap = options_.max_reply_bytes;
  t.cancel = options_.cancel;
  Perform(url, post_body, headers, t);
  reply.status = t.status;
  reply.content_type = std::move(t.content_type);
  reply.effective_url = std::move(t.effective_url);
  return reply;
}

TOVHttpClientReply TOVHttpClient::Get(const std::string& url, const TOVHttpHeaders& headers) const {
  return Request(url, nullptr, headers);
}

TOVHttpClientReply TOVHttpClient::Post(const std::string& url, std::string_view body,
                                       const TOVHttpHeaders& headers) const {
  const std::string payload(body);
  return Request(url, &payload, headers);
}

long TOVHttpClient::DownloadToFile(const std::string& url, const std::string& path,
                                   const TOVHttpHeaders& headers) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw EHttpClientError("Cannot create " + path + ": " + std::strerror(errno));
  Transfer t;
  t.fd = fd;
  t.cap = DownloadCap(options_.max_download_bytes);
  t.cancel = options_.cancel;
  try {
    Perform(url, nullptr, headers, t);
    if (t.status < 200 || t.status > 299) throw EHttpStatusError(t.status, Format("HTTP status %d", t.status));
    if (::close(fd) != 0) {
      t.fd = -1;
      throw EHttpClientError("Cannot write " + path + ": " + std::strerror(errno));
    }
    t.fd = -1;
  } catch (...) {
    if (t.fd >= 0) ::close(t.fd);
    ::unlink(path.c_str());
    throw;
  }
  return t.status;
}

}  // namespace ov
