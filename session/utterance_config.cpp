#include "session/utterance_config.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "compute/core_budget.h"
#include "session/motion_model.h"

namespace ka {

namespace {
const char* envText(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}
}  // namespace

UtteranceConfig UtteranceConfig::resolve(const ka_utt_opts& o, int contextThreads) {
  UtteranceConfig c;
  if (!o.motion_dir || !*o.motion_dir) throw std::runtime_error("opts.motion_dir required");
  c.motionDir = o.motion_dir;
  c.threads = o.threads >= 1 ? o.threads : contextThreads;
  c.motionEp = o.motion_ep ? o.motion_ep : "";

  c.steadyModel = o.steady_model && *o.steady_model ? o.steady_model : "b24_fp32";
  if (const char* env = envText("KA_STEADY_MODEL")) c.steadyModel = env;
  if (c.steadyModel == "-") c.steadyModel.clear();

  if (o.eager == -2) {
    c.hybrid = true;
    c.eager = -1;
  } else if (o.eager < 1) {
    const char* h = envText("KA_UTT_HYBRID");
    c.hybrid = h && std::strcmp(h, "0") != 0;
    c.eager = -1;
  } else {
    c.eager = o.eager;
  }

  c.autoEndMs = o.auto_end_s == 0.0 || std::isnan(o.auto_end_s) ? 600.0 : (o.auto_end_s < 0.0 ? -1.0 : o.auto_end_s * 1000.0);
  c.endRampFrames = o.end_ramp_frames < 1 ? 6 : o.end_ramp_frames;
  c.interruptRampFrames = o.interrupt_ramp_frames < 1 ? 4 : o.interrupt_ramp_frames;

  c.useA2x = MotionModel::isA2x(c.motionDir);
  c.pipelinePaste = c.useA2x;
  if (const char* p = envText("KA_UTT_PIPELINE_PASTE")) c.pipelinePaste = std::atoi(p) != 0;
  c.stageReport = envText("KA_UTT_STAGE_REPORT") != nullptr;
  if (c.pipelinePaste) {
    const CoreBudget& b = CoreBudget::machine();
    c.directorShare = b.director;
    c.pasteThreads = b.paste;
  }
  return c;
}

}  // namespace ka
