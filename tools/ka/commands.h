#pragma once
// Subcommands of the ka tool. Each takes the arguments after its family's name and
// returns the process exit code; usage errors print the family's usage and return 2,
// -h or --help prints it to standard output and returns 0.
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
int tesseraCommand(const Args& args);
int tesseraRunCommand(const Args& args);
int renderOfflineCommand(const Args& args);
int serveCommand(const Args& args);

// Prints "ka: <message>" to standard error and returns 1.
int fail(const std::string& message);
// As fail, with the file the failure concerns in front unless the message names it.
int failAt(const std::string& file, const std::string& message);

// True when -h or --help is among the arguments.
bool wantsHelp(const Args& args);
// Prints a family's usage: asked for, to standard output with exit code 0; after a usage
// error, to standard error with exit code 2.
int usage(const char* text, bool asked);

}  // namespace ka::cli
