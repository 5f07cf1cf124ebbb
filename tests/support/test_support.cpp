#include "tests/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "bundle/path_util.h"

namespace ka::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_test_XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}
TempDir::~TempDir() { ka::rmTree(path_); }

void writeFile(const std::string& path, const std::string& bytes) {
  ka::mkdirs(ka::dirName(path));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* v = std::getenv(name)) old_ = v;
  if (value) ::setenv(name, value->c_str(), 1);
  else ::unsetenv(name);
}
ScopedEnv::~ScopedEnv() {
  if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

StderrCapture::StderrCapture() {
  char tmpl[] = "/tmp/ka_stderr_XXXXXX";
  const int fd = ::mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  file_ = tmpl;
  std::fflush(stderr);
  saved_ = ::dup(2);
  ::dup2(fd, 2);
  ::close(fd);
}
std::string StderrCapture::text() {
  if (!done_) {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    text_ = slurp(file_);
    ::unlink(file_.c_str());
    done_ = true;
  }
  return text_;
}
StderrCapture::~StderrCapture() { text(); }

std::string fixtureDir() {
  const char* d = std::getenv("KA_TEST_FIXTURES");
  return d ? d : "";
}

std::string manifestText(const std::string& extra, bool stamp) {
  std::string s =
      "{\n  \"format\": \"ka-bundle-v0\",\n  \"agent\": \"test\",\n  \"NT\": 30,\n"
      "  \"H\": 480,\n  \"W\": 640,\n  \"crop\": 256,\n  \"amount\": 1.5,\n"
      "  \"sigma\": 2.5,\n  \"ksize\": 11,\n  \"frames\": 12";
  if (stamp) s += ",\n  \"M_src_w\": 1280,\n  \"M_src_h\": 960";
  return s + extra + "\n}\n";
}

std::string dashManifest(const std::string& url) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" mediaPresentationDuration=\"PT1.2S\" "
         "minBufferTime=\"PT1S\" profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\">\n"
         " <Period><AdaptationSet mimeType=\"video/mp4\">\n"
         "  <Representation id=\"0\" bandwidth=\"100000\" codecs=\"avc1.64000a\"><BaseURL>" +
         url + "</BaseURL></Representation>\n"
         " </AdaptationSet></Period>\n</MPD>\n";
}

LoopbackListener::LoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      connections_.fetch_add(1);
      ::close(c);
    }
  });
}

LoopbackListener::~LoopbackListener() {
  stop_.store(true);
  thread_.join();
  ::close(fd_);
}

}  // namespace ka::test
