#include <gtest/gtest.h>

#include "label_test_support.h"
#include "labels/base_point.h"
#include "labels/layouts.h"

namespace tarnwick {
namespace {

using test::Esc;

struct Named {
    const char* name;
    LayoutBuilder build;
};

const Named kAll[] = {{"A1", PrintLayoutA1}, {"A2", PrintLayoutA2}, {"B1", PrintLayoutB1}, {"B2", PrintLayoutB2},
                      {"B3", PrintLayoutB3}, {"B4", PrintLayoutB4}, {"C1", PrintLayoutC1}, {"C2", PrintLayoutC2},
                      {"D1", PrintLayoutD1}, {"D2", PrintLayoutD2}, {"E", PrintLayoutE}};
const Named kWithPicture[] = {{"B1", PrintLayoutB1}, {"B2", PrintLayoutB2}, {"B3", PrintLayoutB3},
                              {"B4", PrintLayoutB4}, {"D1", PrintLayoutD1}, {"D2", PrintLayoutD2}};
const char* const kPictureOf[] = {"calh021.pcx", "calh026.pcx", "calh023.pcx",
                                  "calh024.pcx", "calh018.pcx", "calh018.pcx"};

class FailingOutput final : public PrinterOutput {
public:
    SendResult SendToPrinter(std::string_view) override {
        ++calls;
        return std::unexpected(Failure{"The printer LBL1 is not known.", "Printer", MessageIcon::Critical});
    }
    int calls = 0;
};

class Layouts : public test::InPlantFolder {
protected:
    std::string Compose(LayoutBuilder build, const LabelArgs& args, const BasePoint& base = {"10", "5"}) {
        CapturingOutput out;
        const auto result = build(args, base, out);
        EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text);
        EXPECT_EQ(out.streams.size(), 1u);
        return out.streams.empty() ? std::string() : out.streams.front();
    }

    // The refusal's text; fails the test if anything was sent.
    std::string Refusal(LayoutBuilder build, const LabelArgs& args, const BasePoint& base = {"10", "5"}) {
        CapturingOutput out;
        const auto result = build(args, base, out);
        EXPECT_FALSE(result.has_value());
        EXPECT_TRUE(out.streams.empty());
        return result ? std::string() : result.error().text;
    }
};

TEST_F(Layouts, EveryLayoutSendsOneStreamAndIgnoresLength) {
    for (const Named& layout : kAll) {
        SCOPED_TRACE(layout.name);
        for (bool headers : {false, true}) {
            auto job = test::Job004512();
            job.PrintHeaders = headers;
            const auto stream = Compose(layout.build, job);
            job.Length = "99 LONG";
            EXPECT_EQ(Compose(layout.build, job), stream);
            EXPECT_TRUE(stream.starts_with(Esc("^A^A3H10V5^H")));
            EXPECT_TRUE(stream.ends_with(Esc("^Q25^Z")));
        }
    }
}

TEST_F(Layouts, HeadersFlagPerFamily) {
    auto off = test::Job4012();
    auto on = off;
    on.PrintHeaders = true;
    // The new format prints its caption either way.
    EXPECT_EQ(Compose(PrintLayoutA1, on), Compose(PrintLayoutA1, off));
    EXPECT_EQ(Compose(PrintLayoutA2, on), Compose(PrintLayoutA2, off));
    // Without headers the lot-heading members are one label.
    const auto b1 = Compose(PrintLayoutB1, off);
    for (LayoutBuilder b : {PrintLayoutB2, PrintLayoutB3, PrintLayoutB4}) EXPECT_EQ(Compose(b, off), b1);
    // The style headings and the rotated RN come and go together; nothing else rotates.
    for (LayoutBuilder c : {PrintLayoutC1, PrintLayoutC2}) {
        const auto with = Compose(c, on);
        const auto without = Compose(c, off);
        EXPECT_EQ(with.find("%3"), with.rfind("%3"));
        EXPECT_TRUE(with.ends_with(Esc("^%3^H0720^V0100^XSRN 30417^Q24^Z")));
        EXPECT_EQ(without.find("%3"), std::string::npos);
        EXPECT_EQ(without.find("STYLE"), std::string::npos);
    }
    // The inline headings stay; only the picture goes.
    for (LayoutBuilder d : {PrintLayoutD1, PrintLayoutD2}) {
        const auto without = Compose(d, off);
        EXPECT_NE(without.find(Esc("^XSSTYLE:^OB12345-7")), std::string::npos);
        EXPECT_EQ(without.find("GP"), std::string::npos);
        EXPECT_EQ(Compose(d, on).size(), without.size() + Esc("^H0180^V0825^GP01450,").size() + 1450);
    }
}

TEST_F(Layouts, EmptyFieldsKeepTheirItems) {
    const LabelArgs empty;
    const std::string bar(17, ' ');
    const std::pair<LayoutBuilder, std::string> cases[] = {
        {PrintLayoutA1, Esc("^A^A3HV^H0035^V0020^XM-^H0345^V0030^XSSIZE:^H0400^V0020^XM ^H0090^V0050^OB"
                            "^H0090^V0080^OB^H0090^V0110^OB^H0050^V0140^S^H0055^V0160^BG02070>H" +
                            bar + "^H0200^V0240^S" + bar + "^Q0^Z")},
        {PrintLayoutA2, Esc("^A^A3HV^H0035^V0020^XM^H0345^V0030^XSSIZE:^H0400^V0020^XM ^H0090^V0050^OB"
                            "^H0090^V0080^OB^H0090^V0110^OB^H0050^V0140^S^H0055^V0160^BG02070>H" +
                            bar + "^H0200^V0240^S" + bar + "^Q0^Z")},
        {PrintLayoutB3, Esc("^A^A3HV^H0150^V0040^OB-^H0405^V0040^OB^H0585^V0040^OB^H0260^V0070^OB"
                            "^H0260^V0100^OB^H0260^V0130^OB^H0180^V0160^OB^H0205^V0190^BG02080>H" +
                            bar + "^Q0^Z")},
        {PrintLayoutC2, Esc("^A^A3HV^H0195^V0040^OB-^H0500^V0040^OB^H0600^V0040^OB^H0260^V0070^OB"
                            "^H0260^V0100^OB^H0260^V0130^OB^H0180^V0160^OB^H0205^V0190^BG02080>H" +
                            bar + "^Q0^Z")},
        {PrintLayoutD2, Esc("^A^A3HV^H0170^V0030^XSSTYLE:^OB-^H0455^V0030^XSSIZE:^OB^H0585^V0030^XSL:^OB"
                            "^H0290^V0060^OB^H0290^V0090^OB^H0290^V0120^OB^H0160^V0120^OB"
                            "^H0205^V0150^BG02080>H" +
                            bar + "^Q0^Z")},
        {PrintLayoutE, Esc("^A^A3HV^H0200^V0035^OB-^H0450^V0035^OB^H0585^V0035^OB^H0340^V0075^XS"
                           "^H0340^V0095^XS^H0340^V0115^XS^H0230^V0135^XS^H0210^V0155^BG02060>H" +
                           bar + "^Q0^Z")},
    };
    for (const auto& [build, expected] : cases) EXPECT_EQ(Compose(build, empty, {"", ""}), expected);
}

TEST_F(Layouts, NewFormatMadeInAndRn) {
    struct Case {
        const char* madeIn;
        const char* rn;
        const char* tail;
    };
    const Case cases[] = {
        {"", "30417", "^S12345O07 32 30   ^H0430^V0140^SRN 30417^Q24^Z"},
        {"MEXICO", "", "^S12345O07 32 30   ^H0210^V0140^SMEXICO^Q24^Z"},
        {"", "", "^S12345O07 32 30   ^Q24^Z"},
        {" ", " ", "^S12345O07 32 30   ^H0210^V0140^S ^H0430^V0140^SRN  ^Q24^Z"},
    };
    for (const Case& c : cases) {
        auto job = test::Job4012();
        job.MadeIn = c.madeIn;
        job.RN = c.rn;
        EXPECT_TRUE(Compose(PrintLayoutA1, job).ends_with(Esc(c.tail))) << '"' << c.madeIn << "\" \"" << c.rn << '"';
    }

    auto longBar = test::Job4012();
    longBar.Barcode = "12345678O07 32 30 X";
    const auto stream = Compose(PrintLayoutA1, longBar);
    EXPECT_NE(stream.find(Esc("^BG02070>H12345678O07 32 30 X^H0200^V0240^S12345678O07 32 30 X^H0210")),
              std::string::npos);
}

TEST_F(Layouts, BasePointTextsAsTheSettingsGiveThem) {
    const std::pair<BasePoint, const char*> familyA[] = {
        {FamilyABase(BaseValue{10.0}, 5), "^A^A3H10V5^"},
        {FamilyABase(BaseValue{0.0}, 0), "^A^A3H0V0^"},
        {FamilyABase(BaseValue{-5.0}, 0), "^A^A3H-5V0^"},
        {FamilyABase(BaseValue{std::string("0010")}, -10), "^A^A3H0010V-10^"},
        {FamilyABase(BaseValue{}, 25), "^A^A3HV25^"},
    };
    for (const auto& [base, start] : familyA)
        EXPECT_TRUE(Compose(PrintLayoutA1, test::Job4012(), base).starts_with(Esc(start))) << start;

    const std::pair<BasePoint, const char*> others[] = {
        {OtherFamiliesBase(BaseValue{50.0}, "0050"), "^A^A3H50V0050^"},
        {OtherFamiliesBase(BaseValue{std::string("0050")}, "005"), "^A^A3H0050V005^"},
        {OtherFamiliesBase(BaseValue{0.0}, "0"), "^A^A3H0V0^"},
        {OtherFamiliesBase(BaseValue{12.5}, " 7"), "^A^A3H12.5V 7^"},
    };
    for (const auto& [base, start] : others)
        EXPECT_TRUE(Compose(PrintLayoutE, test::Job004512(), base).starts_with(Esc(start))) << start;
}

TEST_F(Layouts, PictureBytesArriveUnchanged) {
    auto job = test::Job4012();
    job.PrintHeaders = true;
    for (std::size_t i = 0; i < std::size(kWithPicture); ++i) {
        SCOPED_TRACE(kWithPicture[i].name);
        const auto picture = Picture(kPictureOf[i]);
        ASSERT_EQ(picture.substr(0, 256), test::PictureBytes(256, 0));  // every byte value, NUL and ESC too
        const auto stream = Compose(kWithPicture[i].build, job);
        const auto prefix = stream.find(Esc("^GP0"));
        ASSERT_NE(prefix, std::string::npos);
        const auto at = prefix + Esc("^GP01450,").size();
        EXPECT_EQ(stream.substr(at, picture.size()), picture);
        EXPECT_EQ(stream.substr(at + picture.size()), Esc("^Q24^Z"));
    }
}

TEST_F(Layouts, FieldsAreWindows1252AndCountedInCharacters) {
    auto job = test::Job004512();
    job.Style = "CAFÉ";
    job.Color = "€";
    job.Text1 = "CRÈME";  // 5 characters, 6 bytes of UTF-8
    job.Text2 = "ABCDEFG";
    job.Text3 = "ABCDEFG";
    job.Barcode = "ÀÀÀÀÀÀÀÀÀÀÀÀÀÀÀ";  // 15 characters, 30 bytes of UTF-8
    const auto stream = Compose(PrintLayoutE, job);
    EXPECT_NE(stream.find(Esc("^OBCAF\xC9-\x80^")), std::string::npos);
    EXPECT_NE(stream.find(Esc("^XS CR\xC8ME^")), std::string::npos);
    EXPECT_NE(stream.find(Esc("^BG02060>H") + std::string(15, '\xC0') + "  " + Esc("^Q")), std::string::npos);
}

TEST_F(Layouts, FieldsThePrinterCannotTakeAreRefusedByName) {
    struct Case {
        std::string LabelArgs::*field;
        const char* value;
        const char* named;
    };
    const Case cases[] = {
        {&LabelArgs::WIP,
         "40\x1B"
         "12",
         "WIP #"},
        {&LabelArgs::Style, "12\t345", "Style"},
        {&LabelArgs::Color, "\x7F", "Color"},
        {&LabelArgs::Waist, "32\r\n", "Waist"},
        {&LabelArgs::LengthDesc, "3\x01", "Length Desc"},
        {&LabelArgs::Text1, "WOOL ✓", "Line 1"},
        {&LabelArgs::Text2, "棉", "Line 2"},
        {&LabelArgs::Text3, "\xFF\xFE", "Line 3"},
        {&LabelArgs::Barcode,
         "12345\x1B"
         "Z",
         "bar-code"},
        {&LabelArgs::Barcode, "12345>C00", "bar-code"},
    };
    for (const Named& layout : kAll) {
        for (const Case& c : cases) {
            if (layout.build == PrintLayoutA2 && c.field == &LabelArgs::Color) continue;  // not printed there
            auto job = test::Job004512();
            job.*c.field = c.value;
            const auto text = Refusal(layout.build, job);
            EXPECT_NE(text.find(c.named), std::string::npos) << layout.name << ": " << text;
        }
    }
    auto job = test::Job4012();
    job.MadeIn = "MADE IN\nCHINA";
    EXPECT_NE(Refusal(PrintLayoutA2, job).find("Made In"), std::string::npos);
    job = test::Job4012();
    job.RN = "№ 5";
    EXPECT_NE(Refusal(PrintLayoutA1, job).find("RN field"), std::string::npos);

    EXPECT_NE(Refusal(PrintLayoutA1, test::Job4012(), {"1\x1B", "5"}).find("BaseX"), std::string::npos);
    EXPECT_NE(Refusal(PrintLayoutC1, test::Job004512(), {"5", "10\x1BZ"}).find("BaseV"), std::string::npos);
    job = test::Job4012();
    job.Barcode = "4012>H";
    EXPECT_EQ(Refusal(PrintLayoutD1, job),
              "The bar-code value holds \">\" at character 5, which the printer would take as a bar-code command and "
              "so print a wrong bar code. Remove it and print again.");
}

TEST_F(Layouts, FieldsTheLayoutDoesNotPrintAreNotChecked) {
    auto job = test::Job4012();
    job.Length = "30\x1B";
    job.Qty = "24\t";
    EXPECT_EQ(Compose(PrintLayoutA1, job), Compose(PrintLayoutA1, test::Job4012()));
    job.Color = "7\x1B";
    EXPECT_EQ(Compose(PrintLayoutA2, job), Compose(PrintLayoutA2, test::Job4012()));
    job.Color = "7";
    job.MadeIn = "\x1B";
    job.RN = "\x1B";
    EXPECT_EQ(Compose(PrintLayoutC1, job), Compose(PrintLayoutC1, test::Job4012()));
}

TEST_F(Layouts, QuantityOutOfRangeSendsNothing) {
    for (const Named& layout : kAll) {
        auto job = test::Job004512();
        job.Qty = "32768";
        EXPECT_NE(Refusal(layout.build, job).find("32768"), std::string::npos) << layout.name;
        job.Qty = "-32768";
        EXPECT_TRUE(Compose(layout.build, job).ends_with(Esc("^Q-32768^Z"))) << layout.name;
    }
}

TEST_F(Layouts, PictureMissingOrOfWrongLengthSendsNothing) {
    for (std::size_t i = 0; i < std::size(kWithPicture); ++i) {
        SCOPED_TRACE(kWithPicture[i].name);
        auto job = test::Job4012();
        const auto file = ImageFile(kPictureOf[i]);
        const auto picture = Picture(kPictureOf[i]);

        // Read also when it is left out, so its absence stops every label of the layout.
        std::filesystem::remove(file);
        for (bool headers : {false, true}) {
            job.PrintHeaders = headers;
            EXPECT_NE(Refusal(kWithPicture[i].build, job).find(std::string("images/") + kPictureOf[i]),
                      std::string::npos);
        }

        test::WriteFile(file, picture + "X");
        job.PrintHeaders = false;
        Compose(kWithPicture[i].build, job);
        job.PrintHeaders = true;
        const auto text = Refusal(kWithPicture[i].build, job);
        EXPECT_NE(text.find(std::to_string(picture.size() + 1)), std::string::npos) << text;
        EXPECT_NE(text.find(std::to_string(picture.size())), std::string::npos) << text;
        test::WriteFile(file, picture);
    }
}

TEST_F(Layouts, PrinterRefusalComesBackAfterOneSend) {
    for (const Named& layout : kAll) {
        FailingOutput out;
        const auto result = layout.build(test::Job004512(), {"0", "0"}, out);
        ASSERT_FALSE(result.has_value()) << layout.name;
        EXPECT_EQ(result.error().text, "The printer LBL1 is not known.");
        EXPECT_EQ(out.calls, 1);
    }
}

TEST(LayoutTable, CodesInTheirOrderExactAndCaseSensitive) {
    const std::pair<const char*, LayoutBuilder> codes[] = {
        {"calh021", PrintLayoutB1}, {"calh026", PrintLayoutB2}, {"calh023", PrintLayoutB3},
        {"calh024", PrintLayoutB4}, {"calh020", PrintLayoutC1}, {"calh025", PrintLayoutC2},
        {"calh015", PrintLayoutE},  {"calh022", PrintLayoutD1}, {"calh018", PrintLayoutD2},
    };
    for (const auto& [code, build] : codes) {
        const auto layout = LayoutForCode(code);
        ASSERT_TRUE(layout.has_value()) << code;
        EXPECT_EQ(layout->build, build) << code;
        EXPECT_FALSE(layout->usesPrinterSettingsBase) << code;
    }
    for (const char* other : {"NA", "", "CALH021", "Calh020", "calh021 ", " calh021", "calh019", "calh016", "calh017",
                              "calh02", "A1", "B1"})
        EXPECT_FALSE(LayoutForCode(other).has_value()) << '"' << other << '"';
}

TEST(LayoutTable, BuildersByName) {
    for (const Named& named : kAll) {
        const auto layout = LayoutByName(named.name);
        ASSERT_TRUE(layout.has_value()) << named.name;
        EXPECT_EQ(layout->build, named.build);
        EXPECT_EQ(layout->name, named.name);
        EXPECT_EQ(layout->usesPrinterSettingsBase, named.name[0] == 'A') << named.name;
    }
    for (const char* other : {"a1", "A3", "F", "", "calh021", "B"}) EXPECT_FALSE(LayoutByName(other)) << other;
}

}  // namespace
}  // namespace tarnwick
