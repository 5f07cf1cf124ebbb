#pragma once
// ka::UtteranceConfig: a session's settings, resolved once from the host's options and
// the environment (KA_STEADY_MODEL, KA_UTT_HYBRID, KA_UTT_PIPELINE_PASTE,
// KA_UTT_STAGE_REPORT) and the machine's core budget.
#include <string>

#include "ka/ka.h"

namespace ka {

struct UtteranceConfig {
  std::string motionDir;
  int threads = 0;         // intra-op threads of the motion model (>= 1)
  std::string motionEp;
  std::string steadyModel;  // "" when there is to be no chunk renderer
  bool hybrid = false;
  int eager = -1;
  double autoEndMs = 600.0;  // < 0: never
  int endRampFrames = 6;
  int interruptRampFrames = 4;
  bool useA2x = false;
  bool pipelinePaste = false;
  bool stageReport = false;
  // From the machine's core budget. With the paste on its own thread the network keeps to
  // its share of the cores and the paste to the rest, so frame n+1 renders while frame n
  // is pasted; on the conductor the two alternate and each may use every core (0: the
  // defaults of the single-frame path).
  int directorShare = 0;
  int pasteThreads = 0;

  // Throws "opts.motion_dir required" when the motion directory is missing or empty.
  // contextThreads stands in for threads < 1.
  static UtteranceConfig resolve(const ka_utt_opts& opts, int contextThreads);
};

}  // namespace ka
