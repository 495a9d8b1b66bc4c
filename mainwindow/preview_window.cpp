#include "mainwindow/preview_window.h"

#include <QComboBox>
#include <algorithm>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tarnwick {
namespace {

constexpr int kDotsPerMillimetre = 8;  // 203 dpi
constexpr int kZooms[] = {1, 2, 3, 4};
constexpr int kDefaultZoomIndex = 0;

}  // namespace

PreviewWindow::PreviewWindow(PreviewOf what, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Label Preview");
    setModal(false);

    lblSummary = new QLabel(this);
    QFont bold = lblSummary->font();
    bold.setBold(true);
    lblSummary->setFont(bold);
    lblSize = new QLabel(this);
    cmbZoom = new QComboBox(this);
    for (const int zoom : kZooms) cmbZoom->addItem(QString("%1 %").arg(zoom * 100), zoom);
    cmbZoom->setCurrentIndex(kDefaultZoomIndex);
    connect(cmbZoom, &QComboBox::currentIndexChanged, this, [this] { ShowZoomed(); });

    picLabel = new QLabel;
    picLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll_ = new QScrollArea(this);
    scroll_->setWidget(picLabel);
    scroll_->setWidgetResizable(false);
    QPalette grey = scroll_->palette();
    grey.setColor(QPalette::Window, Qt::darkGray);
    scroll_->setPalette(grey);
    scroll_->setBackgroundRole(QPalette::Window);

    auto* close = new QPushButton("Close", this);
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::close);

    auto* top = top_ = new QHBoxLayout;
    top->addWidget(lblSummary);
    top->addStretch();
    top->addWidget(lblSize);
    top->addSpacing(12);
    top->addWidget(new QLabel("Zoom", this));
    top->addWidget(cmbZoom);
    auto* bottom = bottom_ = new QHBoxLayout;
    lblNote = new QLabel(what == PreviewOf::RecordedJob
                             ? "This shows the bytes recorded for the job; the printer repeats this one label for "
                               "the quantity. Nothing is printed from here."
                             : "The printer repeats this one label for the quantity; nothing has been printed.",
                         this);
    bottom->addWidget(lblNote);
    bottom->addStretch();
    bottom->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(scroll_, 1);
    layout->addLayout(bottom);
}

void PreviewWindow::ShowLabel(std::string layout, std::size_t byteCount, Rendering rendering) {
    layout_ = std::move(layout);
    byteCount_ = byteCount;
    quantity_ = rendering.quantity;
    label_ = std::move(rendering.image);
    lblSummary->setText(QString::fromUtf8("Layout %1 \u2014 %2 bytes \u2014 \u00D7 %3")
                            .arg(QString::fromStdString(layout_))
                            .arg(static_cast<qulonglong>(byteCount_))
                            .arg(quantity_));
    lblSize->setText(QString::fromUtf8("%1 \u00D7 %2 dots (%3 \u00D7 %4 mm)")
                         .arg(label_.width())
                         .arg(label_.height())
                         .arg(label_.width() / kDotsPerMillimetre)
                         .arg(label_.height() / kDotsPerMillimetre));
    ShowZoomed();
    FitToLabel();
}

// Large enough to show the whole label when the screen allows, never larger than the screen.
void PreviewWindow::FitToLabel() {
    const QMargins margins = layout()->contentsMargins();
    const int frame = 2 * scroll_->frameWidth();
    const int spacing = layout()->spacing();
    QSize wanted(picLabel->width() + frame + margins.left() + margins.right(),
                 picLabel->height() + frame + margins.top() + margins.bottom() + top_->sizeHint().height() +
                     bottom_->sizeHint().height() + 2 * spacing);
    wanted = wanted.expandedTo(
        QSize(std::max(top_->sizeHint().width(), bottom_->sizeHint().width()) + margins.left() + margins.right(), 240));
    if (const QScreen* screen = this->screen()) wanted = wanted.boundedTo(screen->availableGeometry().size() * 9 / 10);
    resize(wanted);
}

void PreviewWindow::ShowZoomed() {
    if (label_.isNull()) return;
    const int zoom = cmbZoom->currentData().toInt();
    const QImage shown =
        zoom == 1 ? label_ : label_.scaled(label_.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    picLabel->setPixmap(QPixmap::fromImage(shown));
    picLabel->resize(shown.size());
}

void ShowPreview(QPointer<PreviewWindow>& window, PreviewOf what, QWidget* parent, std::string layout,
                 std::size_t byteCount, Rendering rendering) {
    if (window.isNull()) {
        window = new PreviewWindow(what, parent);
        window->setObjectName("PreviewWindow");
    }
    window->ShowLabel(std::move(layout), byteCount, std::move(rendering));
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace tarnwick
