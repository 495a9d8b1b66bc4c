#include "cli/preview/draw_preview.h"

#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "preview/label_renderer.h"

namespace tarnwick::cli {
namespace {

constexpr int kMaxScale = 16;
// 203 dpi is 8 dots to the millimetre.
constexpr int kDotsPerMetre = 8000;

std::optional<std::string> ReadStream(const std::string& source) {
    if (source == "-") {
        std::ostringstream bytes;
        bytes << std::cin.rdbuf();
        return std::move(bytes).str();
    }
    std::ifstream file(source, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Fonts need a GUI application; a command-line tool never needs a screen for it. Qt's
// start-up notes (no XDG runtime folder under cron or CI) are not the operator's business.
std::unique_ptr<QGuiApplication> StartGui() {
    if (QCoreApplication::instance() != nullptr) return nullptr;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "tarnwick-cli";
    static char* argv[] = {name, nullptr};
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    qInstallMessageHandler(previous);
    return app;
}

}  // namespace

int DrawPreview(const CliArgs& args, CliContext& ctx) {
    if (args.positionals.size() > 1) {
        ctx.err << "tarnwick-cli: preview takes one stream (a file, or - for standard input)\n";
        return kUsage;
    }
    const auto output = args.Get("-o");
    if (!output) {
        ctx.err << "tarnwick-cli: preview needs -o LABEL.png, the picture to write\n";
        return kUsage;
    }
    int scale = 1;
    if (const auto text = args.Get("--scale")) {
        std::size_t used = 0;
        try {
            scale = std::stoi(*text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text->size() || scale < 1 || scale > kMaxScale) {
            ctx.err << "tarnwick-cli: --scale must be a whole number from 1 to " << kMaxScale << ", not " << *text
                    << '\n';
            return kUsage;
        }
    }
    const std::string source = args.positionals.empty() ? "-" : args.positionals.front();
    const auto stream = ReadStream(source);
    if (!stream) {
        ctx.err << "Cannot read the label stream " << source << ". Check that the file exists and can be read.\n";
        return kRefused;
    }

    const auto gui = StartGui();
    auto rendering = RenderLabel(*stream, scale);
    if (!rendering) return Refuse(ctx, rendering.error());

    QImage picture = rendering->image.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    picture.setDotsPerMeterX(kDotsPerMetre * scale);
    picture.setDotsPerMeterY(kDotsPerMetre * scale);
    if (!picture.save(QString::fromStdString(*output), "PNG")) {
        ctx.err << "Cannot write the picture " << *output << ". Check the folder exists and may be written.\n";
        return kRefused;
    }
    ctx.out << *output << ": " << rendering->image.width() / scale << " x " << rendering->image.height() / scale
            << " dots, " << stream->size() << " bytes, \u00D7 " << rendering->quantity << '\n';
    return kOk;
}

}  // namespace tarnwick::cli
