#pragma once
// Subcommands of the ka tool. Each takes the arguments after its family's name and
// returns the process exit code; usage errors print the family's usage and return 2.
#include <string>
#include <vector>

namespace ka::cli {

using Args = std::vector<std::string>;

int bundleCommand(const Args& args);
int imxCommand(const Args& args);
int onnxCommand(const Args& args);
int renderCommand(const Args& args);
int speakCommand(const Args& args);
int a2xCommand(const Args& args);
int renderOfflineCommand(const Args& args);

// Prints "ka: <message>" to standard error and returns 1.
int fail(const std::string& message);

}  // namespace ka::cli
