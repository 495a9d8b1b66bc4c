#include "fuzz/gui.h"
#include "fuzz/harness.h"
#include "preview/label_renderer.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    tarnwick::fuzz::StartGui(argc, argv);
    return 0;
}

// The preview reads a stream and draws it, at the window's scale and at a larger one.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream = tarnwick::fuzz::Bytes(data, size);
    if (const auto rendering = tarnwick::RenderLabel(stream)) {
        // The picture stops at a metre of label (8000 dots) whatever the stream asks.
        if (rendering->image.width() > 8000 || rendering->image.height() > 8000)
            tarnwick::fuzz::Fault("a preview larger than a metre of label");
        (void)tarnwick::RenderLabel(stream, 3);
    }
    return 0;
}
