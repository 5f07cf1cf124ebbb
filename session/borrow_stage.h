#pragma once
// ka::BorrowStage: the session's teeth stage around a StreamBorrow. It keeps a copy of
// the one crop the pass holds (the renderer reuses its output buffer), and when the
// pass releases that frame's window it writes the borrowed teeth into the copy and
// hands it on.
//
// Driven by one thread at a time (the conductor, or the teeth thread when the stage is
// pipelined); nothing is allocated per frame.
#include <memory>
#include <string>
#include <vector>

#include "ka/ka.h"
#include "session/teeth_stage.h"
#include "tessera/frame_result.h"

namespace ka {

namespace tessera {
class StreamBorrow;
}

class BorrowStage final : public TeethStage {
 public:
  // `side`: the session's crop size, which must be the borrow's canvas.
  BorrowStage(std::unique_ptr<tessera::StreamBorrow> borrow, int side, std::string geometry);
  ~BorrowStage() override;

  bool push(const TeethFrame& f, Deliver deliver, void* self) override;
  bool drain(Deliver deliver, void* self) override;
  void drop() noexcept override;
  std::string geometry() const override { return geometry_; }
  TeethSynthStats synthStats() const override;

  bool holding() const { return holding_; }

 private:
  // Writes the released window into the held crop and delivers it.
  bool release(Deliver deliver, void* self);

  std::unique_ptr<tessera::StreamBorrow> borrow_;
  int side_;
  std::string geometry_;
  tessera::FrameResult result_;
  std::vector<float> held_;  // 3 x side x side
  float heldKp_[kHostKpRows * 3] = {};
  TeethFrame heldFrame_;
  bool holding_ = false;
  static constexpr float kNoKp[kHostKpRows * 3] = {};
};

}  // namespace ka
