#include "capture_contract.h"

#include "scripted_capture.h"
#include "tone_bank.h"

namespace capturecontract {

void PrepareBackend() { scripted::Reset(); }

bool InputIsExact() { return true; }

void ProvideInput(const std::vector<uint8_t>& bytes) {
    for (std::size_t at = 0; at + tonewatch::kBlockBytes <= bytes.size(); at += tonewatch::kBlockBytes) {
        scripted::QueueBlock({bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at + tonewatch::kBlockBytes)});
    }
}

}
