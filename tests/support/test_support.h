#pragma once
// Shared helpers for the tests: scratch directories, small files, environment overrides.
#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ka::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on scope exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Writes bytes to path, creating parent directories.
void writeFile(const std::string& path, const std::string& bytes);
std::string slurp(const std::string& path);
bool exists(const std::string& path);

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Captures what the code under test writes to standard error during the scope.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string text();  // stops capturing on the first call

 private:
  int saved_ = -1;
  std::string file_;
  std::string text_;
  bool done_ = false;
};

// A TCP listener on 127.0.0.1 (a port of its own) that accepts every connection and
// closes it at once, counting them: a URL pointed at it shows whether anything was
// fetched, and nothing waits on a reply that never comes.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  int port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A DASH manifest whose one video representation is the file at `url`.
std::string dashManifest(const std::string& url);

// The refusal text of whatever fn throws as std::runtime_error, or "" when it does not
// throw.
template <class Fn>
std::string refusal(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// Directory of generated fixtures ($KA_TEST_FIXTURES); the test is skipped without it.
std::string fixtureDir();

// A manifest.json text with every required key; `extra` is spliced in before the
// closing brace (start it with ", ").
std::string manifestText(const std::string& extra = "", bool stamp = true);

}  // namespace ka::test
