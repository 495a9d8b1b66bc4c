#include <gtest/gtest.h>

#include "label_test_support.h"
#include "labels/layouts.h"

namespace tarnwick {
namespace {

using test::Esc;

std::string Compose(LayoutBuilder build, const LabelArgs& args, const BasePoint& base) {
    CapturingOutput out;
    const auto result = build(args, base, out);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text);
    EXPECT_EQ(out.streams.size(), 1u);
    return out.streams.empty() ? std::string() : out.streams.front();
}

const std::string kA1 =
    Esc("^A^A3H10V5"
        "^H0035^V0020^XM12345-7"
        "^H0345^V0030^XSSIZE:"
        "^H0400^V0020^XM32 30"
        "^H0090^V0050^OB65% POLYESTER"
        "^H0090^V0080^OB 35% COTTON"
        "^H0090^V0110^OBMACHINE WASH"
        "^H0050^V0140^S4012"
        "^H0055^V0160^BG02070>H12345O07 32 30   "
        "^H0200^V0240^S12345O07 32 30   "
        "^H0210^V0140^SMADE IN U.S.A."
        "^H0430^V0140^SRN 30417"
        "^Q24^Z");

TEST(WorkedExamples, NewFormatA1Is297Bytes) {
    const auto stream = Compose(PrintLayoutA1, test::Job4012(), {"10", "5"});
    EXPECT_EQ(stream.size(), 297u);
    EXPECT_EQ(stream, kA1);
}

TEST(WorkedExamples, NewFormatA2LeavesTheColourOff) {
    auto expected = kA1;
    expected.replace(expected.find("12345-7"), 7, "12345");
    const auto stream = Compose(PrintLayoutA2, test::Job4012(), {"10", "5"});
    EXPECT_EQ(stream.size(), 295u);
    EXPECT_EQ(stream, expected);

    auto brand = test::Job4012();
    brand.RN = "112806";
    expected.replace(expected.find("RN 30417"), 8, "RN 112806");
    const auto withBrandRn = Compose(PrintLayoutA2, brand, {"10", "5"});
    EXPECT_EQ(withBrandRn.size(), 296u);
    EXPECT_EQ(withBrandRn, expected);
}

class LotHeadingExamples : public test::InPlantFolder {};

const std::string kB1Commands =
    Esc("^A^A3H10V5"
        "^H0135^V0040^XSL"
        "^H0135^V0058^XSO"
        "^H0135^V0076^XST"
        "^H0150^V0040^OB12345-7"
        "^H0365^V0047^XSW"
        "^H0405^V0040^OB32"
        "^H0570^V0047^XSL"
        "^H0585^V0040^OB30"
        "^H0260^V0070^OB65% POLYESTER"
        "^H0260^V0100^OB 35% COTTON"
        "^H0260^V0130^OBMACHINE WASH"
        "^H0180^V0160^OB4012"
        "^H0205^V0190^BG02080>H12345O07 32 30   ");

TEST_F(LotHeadingExamples, B1WithHeadersIs3025Bytes) {
    auto job = test::Job4012();
    job.PrintHeaders = true;
    const auto stream = Compose(PrintLayoutB1, job, {"10", "5"});
    EXPECT_EQ(stream.size(), 3025u);
    EXPECT_EQ(stream, kB1Commands + Esc("^H0180^V0300^GP02713,") + Picture("calh021.pcx") + Esc("^Q24^Z"));
}

TEST_F(LotHeadingExamples, B1WithoutHeadersIs211Bytes) {
    const auto stream = Compose(PrintLayoutB1, test::Job4012(), {"10", "5"});
    EXPECT_EQ(stream.size(), 211u);
    EXPECT_EQ(stream, Esc("^A^A3H10V5"
                          "^H0150^V0040^OB12345-7"
                          "^H0405^V0040^OB32"
                          "^H0585^V0040^OB30"
                          "^H0260^V0070^OB65% POLYESTER"
                          "^H0260^V0100^OB 35% COTTON"
                          "^H0260^V0130^OBMACHINE WASH"
                          "^H0180^V0160^OB4012"
                          "^H0205^V0190^BG02080>H12345O07 32 30   "
                          "^Q24^Z"));
}

TEST_F(LotHeadingExamples, EachMemberHasItsCaptionAndPicture) {
    struct Case {
        LayoutBuilder build;
        const char* caption;
        const char* prefix;
        const char* picture;
        std::size_t total;
    };
    const Case cases[] = {
        {PrintLayoutB1, "W", "GP02713,", "calh021.pcx", 3025},
        {PrintLayoutB2, "SIZE", "GP03280,", "calh026.pcx", 3595},
        {PrintLayoutB3, "W", "GP03201,", "calh023.pcx", 3513},
        {PrintLayoutB4, "W", "GP02852,", "calh024.pcx", 3164},
    };
    auto job = test::Job4012();
    job.PrintHeaders = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.picture);
        auto commands = kB1Commands;
        commands.replace(commands.find(Esc("^XSW")), 4, Esc("^XS") + c.caption);
        const auto stream = Compose(c.build, job, {"10", "5"});
        EXPECT_EQ(stream.size(), c.total);
        EXPECT_EQ(stream, commands + Esc("^H0180^V0300^") + c.prefix + Picture(c.picture) + Esc("^Q24^Z"));
    }
}

const std::string kC1 =
    Esc("^A^A3H5V10"
        "^H0135^V0040^XSSTYLE"
        "^H0195^V0040^OB12345-01"
        "^H0455^V0040^XSW"
        "^H0490^V0040^OB32"
        "^H0580^V0040^XSL"
        "^H0600^V0040^OB30"
        "^H0260^V0070^OB100% WOOL"
        "^H0260^V0100^OBDRY CLEAN"
        "^H0260^V0130^OB  ONLY"
        "^H0180^V0160^OB004512"
        "^H0205^V0190^BG02080>H12345O01 32 30   "
        "^%3^H0720^V0100^XSRN 30417"
        "^Q25^Z");

TEST(WorkedExamples, StyleHeadingC1AndC2) {
    EXPECT_EQ(Compose(PrintLayoutC1, test::Job004512(), {"5", "10"}), kC1);

    auto c2 = kC1;
    c2.replace(c2.find(Esc("^XSW")), 4, Esc("^XSSIZE"));
    c2.replace(c2.find("H0490"), 5, "H0500");
    EXPECT_EQ(Compose(PrintLayoutC2, test::Job004512(), {"5", "10"}), c2);

    auto job = test::Job004512();
    job.PrintHeaders = false;
    EXPECT_EQ(Compose(PrintLayoutC1, job, {"5", "10"}), Esc("^A^A3H5V10"
                                                            "^H0195^V0040^OB12345-01"
                                                            "^H0490^V0040^OB32"
                                                            "^H0600^V0040^OB30"
                                                            "^H0260^V0070^OB100% WOOL"
                                                            "^H0260^V0100^OBDRY CLEAN"
                                                            "^H0260^V0130^OB  ONLY"
                                                            "^H0180^V0160^OB004512"
                                                            "^H0205^V0190^BG02080>H12345O01 32 30   "
                                                            "^Q25^Z"));
}

class InlineHeadingExamples : public test::InPlantFolder {};

const std::string kD1Commands =
    Esc("^A^A3H5V10"
        "^H0170^V0030^XSSTYLE:^OB12345-01"
        "^H0455^V0030^XSW:^OB32"
        "^H0585^V0030^XSL:^OB30"
        "^H0290^V0060^OB100% WOOL"
        "^H0290^V0090^OBDRY CLEAN"
        "^H0290^V0120^OB  ONLY"
        "^H0160^V0120^OB004512"
        "^H0205^V0150^BG02080>H12345O01 32 30   ");

TEST_F(InlineHeadingExamples, D1AndD2) {
    const auto picture = Picture("calh018.pcx");
    EXPECT_EQ(Compose(PrintLayoutD1, test::Job004512(), {"5", "10"}),
              kD1Commands + Esc("^H0180^V0825^GP01450,") + picture + Esc("^Q25^Z"));

    auto d2 = kD1Commands;
    d2.replace(d2.find(Esc("^XSW:")), 5, Esc("^XSSIZE:"));
    EXPECT_EQ(Compose(PrintLayoutD2, test::Job004512(), {"5", "10"}),
              d2 + Esc("^H0180^V0810^GP01450,") + picture + Esc("^Q25^Z"));

    auto job = test::Job004512();
    job.PrintHeaders = false;
    EXPECT_EQ(Compose(PrintLayoutD1, job, {"5", "10"}), kD1Commands + Esc("^Q25^Z"));
    EXPECT_EQ(Compose(PrintLayoutD2, job, {"5", "10"}), d2 + Esc("^Q25^Z"));
}

TEST(WorkedExamples, StackedLotE) {
    EXPECT_EQ(Compose(PrintLayoutE, test::Job004512(), {"5", "10"}), Esc("^A^A3H5V10"
                                                                         "^H0160^V0035^XSL"
                                                                         "^H0160^V0053^XSO"
                                                                         "^H0160^V0071^XST"
                                                                         "^H0200^V0035^OB12345-01"
                                                                         "^H0390^V0042^XSW"
                                                                         "^H0450^V0035^OB32"
                                                                         "^H0560^V0042^XSL"
                                                                         "^H0585^V0035^OB30"
                                                                         "^H0340^V0075^XS100% WOOL"
                                                                         "^H0340^V0095^XSDRY CLEAN"
                                                                         "^H0340^V0115^XS  ONLY"
                                                                         "^H0230^V0135^XS004512"
                                                                         "^H0210^V0155^BG02060>H12345O01 32 30   "
                                                                         "^Q25^Z"));
    auto job = test::Job004512();
    job.PrintHeaders = false;
    EXPECT_EQ(Compose(PrintLayoutE, job, {"5", "10"}), Esc("^A^A3H5V10"
                                                           "^H0200^V0035^OB12345-01"
                                                           "^H0450^V0035^OB32"
                                                           "^H0585^V0035^OB30"
                                                           "^H0340^V0075^XS100% WOOL"
                                                           "^H0340^V0095^XSDRY CLEAN"
                                                           "^H0340^V0115^XS  ONLY"
                                                           "^H0230^V0135^XS004512"
                                                           "^H0210^V0155^BG02060>H12345O01 32 30   "
                                                           "^Q25^Z"));
}

}  // namespace
}  // namespace tarnwick
