#include <cstdio>
#include <cstring>
#include <exception>

#include "ka/ka.h"
#include "tools/ka/commands.h"

namespace {
const char kUsage[] =
    "usage: ka <command> ...\n"
    "\n"
    "  ka bundle resolve PATH        print the bundle directory for PATH (unwraps containers)\n"
    "  ka bundle member PATH NAME    print the path of member NAME (legacy or canonical)\n"
    "  ka bundle check PATH          load and check the manifest, print its fields\n"
    "  ka imx pack DIR OUT.imx       write an IMX container from a bundle directory\n"
    "  ka imx unwrap PATH            unwrap a container (or reuse a current unwrap)\n"
    "  ka onnx info MODEL            print a model's inputs, outputs and the load-time rewrites that apply\n"
    "  ka render BUNDLE --row R | --si S --kp FILE [--model KEY] [--out PNG]\n"
    "                                render one frame (face rendered and pasted into its driver frame)\n"
    "  ka render BUNDLE --all --out OUT.mp4 [--png FRAME.png]\n"
    "                                render the idle loop into an H.264 MP4\n"
    "  ka a2x MOTION_DIR AUDIO [--live-chunk MS] [--csv OUT] [--offline]\n"
    "                                stream speech through the audio-to-expression networks\n"
    "  ka speak BUNDLE --motion DIR AUDIO --out OUT.mp4 [--model KEY] [--realtime] [--interrupt-at S]\n"
    "           [--teeth] [--encoder W2V] [--idle-lead N] [--telemetry | --telemetry-file FILE]\n"
    "                                run a speaking session on AUDIO into an MP4 with the speech\n"
    "                                (--teeth: teeth borrowed from BUNDLE's donor bank)\n"
    "  ka render-offline BUNDLE --encoder W2V AUDIO --out OUT.mp4 [--drop N] [--gain G]\n"
    "                                render a spoken clip offline into an MP4 with the speech\n"
    "  ka serve BUNDLE --motion DIR [--teeth] [--host 127.0.0.1] [--port 8080] [--page DIR]\n"
    "           [--allowed-host NAME]... [--encoder W2V] [--model KEY]\n"
    "                                serve the live page: the avatar speaks what a browser types or says\n"
    "  ka tessera inspect BUNDLE [--motion DIR]\n"
    "                                print a bundle's teeth members, bank, head, serving config and geometry\n"
    "  ka tessera run BUNDLE VIDEO|FRAMES_DIR [--count N] [--motion DIR] [--out DIR] [--strip OUT.png]\n"
    "                                run the teeth pass over face crops and write the windows it borrows\n"
    "  ka version                    print the library version (also: ka --version)\n"
    "  ka help [COMMAND]             this text, or a command's own (also: ka COMMAND --help)\n";
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return ka::cli::usage(kUsage, false);
  const auto isHelp = [](const char* a) { return !std::strcmp(a, "-h") || !std::strcmp(a, "--help"); };
  const bool helpWord = !std::strcmp(argv[1], "help");
  // "ka help", "ka help --help" and "ka --help" all ask for this text.
  if (isHelp(argv[1]) || (helpWord && (argc == 2 || isHelp(argv[2])))) return ka::cli::usage(kUsage, true);
  if (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V")) argv[1] = const_cast<char*>("version");
  ka::cli::Args rest(argv + 2, argv + argc);
  // "ka help COMMAND [SUB]" is "ka COMMAND [SUB] --help".
  if (helpWord) {
    argv[1] = argv[2];
    rest.erase(rest.begin());
    rest.push_back("--help");
  }
  try {
    if (!std::strcmp(argv[1], "bundle")) return ka::cli::bundleCommand(rest);
    if (!std::strcmp(argv[1], "imx")) return ka::cli::imxCommand(rest);
    if (!std::strcmp(argv[1], "onnx")) return ka::cli::onnxCommand(rest);
    if (!std::strcmp(argv[1], "render")) return ka::cli::renderCommand(rest);
    if (!std::strcmp(argv[1], "speak")) return ka::cli::speakCommand(rest);
    if (!std::strcmp(argv[1], "a2x")) return ka::cli::a2xCommand(rest);
    if (!std::strcmp(argv[1], "tessera")) return ka::cli::tesseraCommand(rest);
    if (!std::strcmp(argv[1], "render-offline")) return ka::cli::renderOfflineCommand(rest);
    if (!std::strcmp(argv[1], "serve")) return ka::cli::serveCommand(rest);
    if (!std::strcmp(argv[1], "version")) {
      std::printf("%s\n", ka_version());
      return 0;
    }
  } catch (const std::exception& e) {
    return ka::cli::fail(e.what());
  }
  std::fprintf(stderr, "ka: unknown command '%s'\n\n%s", argv[1], kUsage);
  return 2;
}
