#include "mainwindow/frm_main_menu.h"
#include "mainwindow/preview_window.h"
#include "mainwindow/print_labels.h"
#include "preview/label_renderer.h"

namespace tarnwick {

// Label › Preview…: Print Labels to the letter, lookup, mode rules and refusals
// included, but the stream is captured and drawn instead of printed.
void frmMainMenu::mnuPreview_Click() {
    CapturingOutput capture;
    const auto printed = RunPrintRequest(*this, capture);
    if (!printed) {
        deps_.dialogs.Show(printed.error());
        return;
    }
    if (capture.streams.size() != 1) {
        deps_.dialogs.Show("No label was composed, so there is nothing to preview.");
        return;
    }
    const std::string& stream = capture.streams.front();
    auto rendering = RenderLabel(stream);
    if (!rendering) {
        deps_.dialogs.Show(rendering.error());
        return;
    }

    auto* window = findChild<PreviewWindow*>();
    if (window == nullptr) {
        window = new PreviewWindow(PreviewOf::NextLabel, this);
        window->setObjectName("PreviewWindow");
    }
    window->ShowLabel(std::string(printed->layout), stream.size(), std::move(*rendering));
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace tarnwick
