#pragma once
// Speech input for tools and tests: any audio file FFmpeg can demux and decode, as the
// 16 kHz mono float samples the audio-to-motion engines take.
#include <string>
#include <vector>

namespace ka {

// Decodes every audio frame of the file's best audio stream, downmixes to mono and
// resamples to 16 kHz float in [-1, 1] (non-finite samples become 0), following changes
// of rate and layout part way; the padding past the end a container states (MP4's edit
// list) is cut. Only the file itself is read: a playlist or manifest opens nothing it
// names. Throws std::runtime_error naming the file and the reason when it is empty,
// cannot be opened, is in no format FFmpeg reads, holds no audio stream, fails to
// decode, is a RIFF WAV cut short of its data or without any, states a sample rate
// above 768 kHz, or would decode to more than 30 s plus 256 samples per byte of the
// file. A file with an audio stream but no
// samples gives an empty vector.
std::vector<float> readAudio16k(const std::string& path);

}  // namespace ka
