#include <gtest/gtest.h>

#include <QGuiApplication>
#include <memory>

namespace {

// Text is drawn with the system's font files, which Qt reaches only through a GUI
// application; one lives for the whole test program.
class GuiEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "preview_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QGuiApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QGuiApplication> app_;
};

[[maybe_unused]] const auto* const kGui = ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace
