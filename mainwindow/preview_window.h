#pragma once

#include <QDialog>
#include <QImage>
#include <QPointer>
#include <cstddef>
#include <string>

#include "preview/label_renderer.h"

class QComboBox;
class QHBoxLayout;
class QLabel;
class QScrollArea;

namespace tarnwick {

// What a preview draws: the label Print Labels would send now, or a job's bytes as the
// print history recorded them. The note under the label says which.
enum class PreviewOf { NextLabel, RecordedJob };

// "Label Preview": the label as it will print, with its layout, the stream's byte count
// and the quantity. Modeless, so it can stay open beside the main window; each new
// preview replaces what it shows.
class PreviewWindow final : public QDialog {
public:
    PreviewWindow(PreviewOf what, QWidget* parent);

    void ShowLabel(std::string layout, std::size_t byteCount, Rendering rendering);

    const std::string& LayoutName() const { return layout_; }
    std::size_t ByteCount() const { return byteCount_; }
    int Quantity() const { return quantity_; }
    const QImage& Label() const { return label_; }

    QLabel* lblSummary;  // layout, bytes, quantity
    QLabel* lblSize;  // the label's size in dots and millimetres
    QComboBox* cmbZoom;  // 100 % is one dot a pixel
    QLabel* picLabel;
    QLabel* lblNote;  // where the bytes come from; nothing is printed

private:
    void ShowZoomed();
    void FitToLabel();

    std::string layout_;
    std::size_t byteCount_ = 0;
    int quantity_ = 0;
    QImage label_;
    QScrollArea* scroll_;
    QHBoxLayout* top_;
    QHBoxLayout* bottom_;
};

// Shows a label in the preview window `window` keeps, made (over `parent`) when there is
// none yet, and brings it forward.
void ShowPreview(QPointer<PreviewWindow>& window, PreviewOf what, QWidget* parent, std::string layout,
                 std::size_t byteCount, Rendering rendering);

}  // namespace tarnwick
