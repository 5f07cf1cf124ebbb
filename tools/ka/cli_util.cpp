// What every subcommand family shares: help requests, usage output and failure lines.
#include <cstdio>
#include <string>

#include "tools/ka/commands.h"

namespace ka::cli {

bool wantsHelp(const Args& args) {
  for (const std::string& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

int usage(const char* text, bool asked) {
  std::fputs(text, asked ? stdout : stderr);
  return asked ? 0 : 2;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "ka: %s\n", message.c_str());
  return 1;
}

int failAt(const std::string& file, const std::string& message) {
  if (!file.empty() && message.find(file) == std::string::npos) return fail(file + ": " + message);
  return fail(message);
}

}  // namespace ka::cli
