#pragma once
// ka::DispatchMailbox: the one-slot exchange between the conductor, which decides when
// the audio-to-motion model should run, and the dispatcher thread, which runs it. The
// conductor posts a request and later collects the response; one request is in flight
// at a time.
//
// Lock: the mailbox's own mutex, owned by this class; no caller holds the session's
// main lock while calling in. The result arrays are written by the dispatcher only
// while a request is in flight and read by the conductor only once it is done.
#include <array>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "session/speech_ring.h"

namespace ka {

class MotionModel;

struct DispatchRequest {
  bool reset = false;
  int start = 0;
  int direction = 1;
  int eager = 0;  // 0: leave the model's eager value as it is
  std::vector<float> audio;
  bool finish = false;
  int maxFrames = 0;
  // >= 0: the first frames of the utterance are taken now, continuing the driver walk at
  // this index; the pull is all the job does after the audio (the model already said it
  // has frames), so it is short.
  int continueAt = -1;
};

struct DispatchResponse {
  int pulled = 0;
  int remaining = 0;  // frames the model still had ready after the pull; -1 not asked
  int total = -1;     // the model's total once finished, else -1
  bool failed = false;
  std::string error;
  std::array<int, SpeechRing::kFrames> si{};
  std::array<float, SpeechRing::kFrames * SpeechRing::kKp> xs{};
  std::array<float, SpeechRing::kFrames * SpeechRing::kKp> xd{};
};

class DispatchMailbox {
 public:
  DispatchMailbox();

  // Conductor: hands the request over (its audio is swapped out, so req.audio comes
  // back empty with the capacity of an earlier request).
  void post(DispatchRequest& req);
  // Conductor: true once the posted request has been answered; the response stays
  // valid until the next post.
  bool done();
  const DispatchResponse& response() const { return resp_; }

  // Dispatcher: runs requests on `model` until stop(); returns then.
  void serve(MotionModel& model);
  void stop();

 private:
  void run(MotionModel& model, DispatchRequest& req);

  std::mutex mu_;
  std::condition_variable cv_;
  DispatchRequest req_;
  bool pending_ = false;
  bool done_ = false;
  bool stop_ = false;
  DispatchResponse resp_;
};

}  // namespace ka
