#pragma once
// A bundle's donor bank loaded for the teeth pass (inside the library: the exported
// decoder is tessera/bank_decode.h).
#include "tessera/attach_inputs.h"
#include "tessera/bank_data.h"

namespace ka::tessera {

// The track read from its member file and decoded in the sidecar's order, with the
// sidecar's centres, apertures, canonical centre and stamp. Defined beside the decoder.
BankData loadBank(const TesseraAttachInputs& in);

}  // namespace ka::tessera
