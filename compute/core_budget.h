#pragma once
// ka::CoreBudget: how the cores this process may run on are shared between the threads
// of an utterance session: the frame network's intra-op threads, the pool that pastes,
// the software decoder and the audio-to-motion model.
//
// The session renders frame n+1 while frame n is pasted, so the network and the paste
// each get cores of their own instead of both asking for all of them: on two cores the
// network runs on one and the paste (with the decoder behind it) on the other. The
// audio-to-motion model runs in short bursts and shares whatever is free.
namespace ka {

struct CoreBudget {
  int cores = 1;     // cores the process may run on
  int director = 1;  // intra-op threads of the frame network(s)
  int paste = 1;     // threads a paste splits over (its own thread included)
  int decoder = 1;   // software decoder threads
  int motion = 1;    // intra-op threads of the audio-to-motion model

  // The split for `cores` (< 1 counts as 1). Every share is at least 1.
  static CoreBudget split(int cores);
  // Cores this process may run on: its affinity mask, else the hardware concurrency,
  // else 1.
  static int machineCores();
  // split(machineCores()), computed once per process.
  static const CoreBudget& machine();
};

}  // namespace ka
