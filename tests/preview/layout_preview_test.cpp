#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "labels/layouts.h"
#include "labels/printer_output.h"
#include "preview/label_renderer.h"
#include "preview_test_support.h"

namespace tarnwick::test {
namespace {

// The worked-example jobs, with headers so every picture and caption is drawn.
LabelArgs WithHeaders(LabelArgs args) {
    args.PrintHeaders = true;
    return args;
}

struct LayoutCase {
    const char* name;
    LabelArgs args;
    BasePoint base;
    int moduleWidth;
    int barHeight;
};

std::vector<LayoutCase> AllLayouts(const std::string& barcode, bool headers) {
    std::vector<LayoutCase> cases;
    for (const char* name : {"A1", "A2"}) cases.push_back({name, WithHeaders(Job4012()), {"10", "5"}, 2, 70});
    for (const char* name : {"B1", "B2", "B3", "B4"})
        cases.push_back({name, WithHeaders(Job4012()), {"10", "5"}, 2, 80});
    for (const char* name : {"C1", "C2", "D1", "D2"}) cases.push_back({name, Job004512(), {"5", "10"}, 2, 80});
    cases.push_back({"E", Job004512(), {"5", "10"}, 2, 60});
    for (LayoutCase& c : cases) {
        if (!barcode.empty()) c.args.Barcode = barcode;
        c.args.PrintHeaders = headers;
    }
    return cases;
}

std::string Decode(const QImage& image) {
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    const ZXing::ImageView view(gray.constBits(), gray.width(), gray.height(), ZXing::ImageFormat::Lum,
                                static_cast<int>(gray.bytesPerLine()));
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::Code128);
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);
    return result.isValid() ? result.text() : "<no bar code found>";
}

// Runs of equal colour along one row, inside [from, to).
std::vector<int> Runs(const QImage& image, int y, int from, int to) {
    std::vector<int> runs;
    for (int x = from; x < to;) {
        int run = 1;
        while (x + run < to && Inked(image, x + run, y) == Inked(image, x, y)) ++run;
        runs.push_back(run);
        x += run;
    }
    return runs;
}

// The builders read their pictures from images/ below the current directory.
class LayoutPreview : public ::testing::Test {
protected:
    void SetUp() override {
        const char* source = std::getenv("TARNWICK_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(std::filesystem::path(source) / "demo");
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    static std::string Compose(const LayoutCase& c) {
        const auto layout = LayoutByName(c.name);
        EXPECT_TRUE(layout) << c.name;
        if (!layout) return {};
        CapturingOutput out;
        const auto built = layout->build(c.args, c.base, out);
        EXPECT_TRUE(built) << c.name << ": " << (built ? "" : built.error().text);
        EXPECT_EQ(out.streams.size(), 1u) << c.name;
        return out.streams.empty() ? std::string() : out.streams.front();
    }

    void CheckBarCode(const LayoutCase& c, const std::string& expected) {
        const std::string stream = Compose(c);
        const auto rendering = RenderLabel(stream);
        ASSERT_TRUE(rendering) << c.name << ": " << rendering.error().text;
        EXPECT_EQ(Decode(rendering->image), expected) << c.name;

        const auto bar = std::find_if(rendering->items.begin(), rendering->items.end(),
                                      [](const LabelItem& i) { return i.kind == ItemKind::Barcode; });
        ASSERT_NE(bar, rendering->items.end()) << c.name;
        EXPECT_EQ(bar->data, expected) << c.name;
        const QRect area = bar->area;
        EXPECT_EQ(area.height(), c.barHeight) << c.name;
        // Every bar and space is a whole number of modules, the narrowest exactly one.
        const std::vector<int> runs = Runs(rendering->image, area.center().y(), area.left(), area.right() + 1);
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(*std::min_element(runs.begin(), runs.end()), c.moduleWidth) << c.name;
        for (const int run : runs) EXPECT_EQ(run % c.moduleWidth, 0) << c.name << " run " << run;
        // The bars stand the full height, and nothing else is drawn over them.
        for (int x = area.left(); x <= area.right(); ++x) {
            const bool top = Inked(rendering->image, x, area.top());
            for (int y = area.top(); y <= area.bottom(); ++y)
                ASSERT_EQ(Inked(rendering->image, x, y), top) << c.name << " at " << x << "," << y;
            EXPECT_FALSE(Inked(rendering->image, x, area.top() - 1)) << c.name << " above the bars at " << x;
            EXPECT_FALSE(Inked(rendering->image, x, area.bottom() + 1)) << c.name << " below the bars at " << x;
        }
    }

private:
    std::filesystem::path previous_;
};

TEST_F(LayoutPreview, EveryLayoutsBarCodeScansAsItsPaddedValue) {
    for (const LayoutCase& c : AllLayouts("", true)) {
        const std::string padded = c.args.Barcode + std::string(17 - c.args.Barcode.size(), ' ');
        CheckBarCode(c, padded);
    }
}

TEST_F(LayoutPreview, BarCodesWithoutHeadersAndOfFullOrExcessLength) {
    for (const std::string barcode : {"12345O0132 30 28A", "12345O01 32 30 EXTRA"})
        for (const LayoutCase& c : AllLayouts(barcode, false)) CheckBarCode(c, barcode);
}

TEST_F(LayoutPreview, EveryLayoutTellsItsQuantityAndDrawsItsPicture) {
    for (const LayoutCase& c : AllLayouts("", true)) {
        const auto rendering = RenderLabel(Compose(c));
        ASSERT_TRUE(rendering) << c.name << ": " << rendering.error().text;
        EXPECT_EQ(rendering->quantity, c.args.Qty == "24" ? 24 : 25) << c.name;
        const bool hasPicture = c.name[0] == 'B' || c.name[0] == 'D';
        const auto picture = std::find_if(rendering->items.begin(), rendering->items.end(),
                                          [](const LabelItem& i) { return i.kind == ItemKind::Picture; });
        ASSERT_EQ(picture != rendering->items.end(), hasPicture) << c.name;
        if (hasPicture) {
            // Fully on the label, at the position its layout gives (base point applied).
            EXPECT_TRUE(rendering->image.rect().contains(picture->area)) << c.name;
            const int v = c.name[0] == 'B' ? 300 : (std::string(c.name) == "D1" ? 825 : 810);
            const int baseV = c.name[0] == 'B' ? 5 : 10;
            const int baseH = c.name[0] == 'B' ? 10 : 5;
            EXPECT_EQ(picture->area.topLeft(), QPoint(180 + baseH, v + baseV)) << c.name;
            EXPECT_FALSE(InkBox(rendering->image.copy(picture->area)).isEmpty()) << c.name;
        }
    }
}

}  // namespace
}  // namespace tarnwick::test
