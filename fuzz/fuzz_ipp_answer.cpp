#include "fuzz/harness.h"
#include "printer/ipp_message.h"

// The answers a print server sends to a label's requests.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto answer = tarnwick::DecodeIppAnswer(tarnwick::fuzz::Bytes(data, size))) {
        (void)answer->Text("status-message");
        (void)answer->Text("printer-state-message");
        (void)answer->Integer("printer-state");
        (void)tarnwick::IppStatusName(answer->status);
    }
    return 0;
}
