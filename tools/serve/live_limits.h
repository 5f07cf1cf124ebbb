#pragma once
// The bounds a page is held to; told to it in the hello message.
#include <cstddef>

namespace ka::serve {

struct LiveLimits {
  size_t textChars = 2000;          // a say's text, in characters
  size_t pcmBytes = 64000;          // one PCM message: 2 s of speech
  size_t queueFrames = 50;          // frames unsent to a page before it is dropped (2 s)
  size_t queueTexts = 64;           // text messages unsent to a page before it is dropped
  size_t messageMax = 256 * 1024;   // larger WebSocket messages close the connection
  double pendingAudioS = 60.0;      // speech pushed and not yet shown, all utterances
  double sayS = 30.0;               // speech one say may make; the rest is cut
  size_t pages = 16;                // open pages at once; more are refused with 503
  size_t httpSessions = 128;        // HTTP connections at once; more wait to be accepted
};

}  // namespace ka::serve
