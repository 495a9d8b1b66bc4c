#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "preview/label_renderer.h"
#include "preview_test_support.h"

namespace tarnwick::test {
namespace {

// Inked along its top row and left column: the corner where they meet shows which way
// the picture was turned.
const Pattern kCorner = {
    "######",
    "#.....",
    "#.....",
    "#.....",
};

std::string GraphicItem(std::string_view position, const std::string& pcx) {
    char count[6];
    std::snprintf(count, sizeof count, "%05zu", pcx.size());
    return Esc(position) + Esc("^GP") + count + "," + pcx;
}

std::string PictureItem(std::string_view position) { return GraphicItem(position, MakePcx(kCorner)); }

struct Placement {
    const char* name;
    const char* base;  // the base point command, or ""
    const char* rotation;  // the rotation command, or ""
    QRect area;  // where the picture's ink must be
    QPoint corner;  // where its top left pixel must land
    friend void PrintTo(const Placement& p, std::ostream* os) { *os << p.name; }
};

class PicturePlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(PicturePlacement, InkLandsWhereThePositionSays) {
    const Placement& p = GetParam();
    const std::string stream = Esc("^A") + Esc(p.base) + Esc(p.rotation) + PictureItem("^H0100^V0080") + Esc("^Q1^Z");
    const auto rendering = RenderLabel(stream);
    ASSERT_TRUE(rendering) << rendering.error().text;
    EXPECT_EQ(InkBox(rendering->image), p.area);
    EXPECT_TRUE(Inked(rendering->image, p.corner.x(), p.corner.y()));
    // The corner's two neighbours along the picture's edges are inked too; had the
    // picture been mirrored rather than turned, one of them would be blank.
    int inkedNeighbours = 0;
    for (const QPoint d : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)})
        inkedNeighbours += Inked(rendering->image, p.corner.x() + d.x(), p.corner.y() + d.y());
    EXPECT_EQ(inkedNeighbours, 2);
    ASSERT_EQ(rendering->items.size(), 1u);
    EXPECT_EQ(rendering->items[0].area, p.area);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, PicturePlacement,
    ::testing::Values(Placement{"Upright", "", "", QRect(100, 80, 6, 4), QPoint(100, 80)},
                      Placement{"UprightSaysSo", "", "^%0", QRect(100, 80, 6, 4), QPoint(100, 80)},
                      Placement{"QuarterTurnCounterClockwise", "", "^%1", QRect(100, 74, 4, 6), QPoint(100, 79)},
                      Placement{"HalfTurn", "", "^%2", QRect(94, 76, 6, 4), QPoint(99, 79)},
                      Placement{"QuarterTurnClockwise", "", "^%3", QRect(96, 80, 4, 6), QPoint(99, 80)},
                      Placement{"BasePoint", "^A3H25V40", "", QRect(125, 120, 6, 4), QPoint(125, 120)},
                      Placement{"BasePointPadded", "^A3H0025V0040", "", QRect(125, 120, 6, 4), QPoint(125, 120)},
                      Placement{"BasePointSigned", "^A3H-20V+30", "", QRect(80, 110, 6, 4), QPoint(80, 110)},
                      Placement{"BasePointAndClockwise", "^A3H-20V30", "^%3", QRect(76, 110, 4, 6), QPoint(79, 110)},
                      Placement{"BasePointAndCounterClockwise", "^A3H7V-9", "^%1", QRect(107, 65, 4, 6),
                                QPoint(107, 70)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stream, InkBeyondTheLabelsEdgeIsLost) {
    // The picture starts 3 dots left of the origin: of its corner only the last three
    // dots of the top row remain.
    const auto rendering = RenderLabel(Esc("^A^A3H-103V-80") + PictureItem("^H0100^V0080") + Esc("^Q1^Z"));
    ASSERT_TRUE(rendering) << rendering.error().text;
    EXPECT_EQ(InkBox(rendering->image), QRect(0, 0, 3, 1));
}

struct Clipped {
    const char* name;
    std::string item;  // rotation, position and the item's command
    QPoint base;  // where its part off the label is lost
    QPoint shift;  // moved by this, the same item lies elsewhere on the label
    friend void PrintTo(const Clipped& c, std::ostream* os) { *os << c.name; }
};

class ClippedItems : public ::testing::TestWithParam<Clipped> {};

std::string WithBase(QPoint base, const std::string& item) {
    return Esc("^A^A3H" + std::to_string(base.x()) + "V" + std::to_string(base.y())) + item + Esc("^Q1^Z");
}

TEST_P(ClippedItems, KeepExactlyThePartOnTheLabel) {
    const Clipped& c = GetParam();
    const auto clipped = RenderLabel(WithBase(c.base, c.item));
    const auto moved = RenderLabel(WithBase(c.base + c.shift, c.item));
    ASSERT_TRUE(clipped && moved);
    // Where both pictures show the item, each dot matches the dot it moved to.
    const QRect overlap = clipped->image.rect() & moved->image.rect().translated(-c.shift);
    int inked = 0;
    for (int y = overlap.top(); y <= overlap.bottom(); ++y)
        for (int x = overlap.left(); x <= overlap.right(); ++x) {
            ASSERT_EQ(Inked(clipped->image, x, y), Inked(moved->image, x + c.shift.x(), y + c.shift.y()))
                << x << "," << y;
            inked += Inked(clipped->image, x, y);
        }
    EXPECT_GT(inked, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, ClippedItems,
    ::testing::Values(
        Clipped{"PictureHalfTurnOffTopLeft", Esc("^%2") + PictureItem("^H0100^V0080"), {-97, -77}, {20, 20}},
        Clipped{"PictureCounterClockwiseOffTopLeft", Esc("^%1") + PictureItem("^H0100^V0080"), {-102, -77}, {20, 20}},
        Clipped{"PictureClockwiseOffTopLeft", Esc("^%3") + PictureItem("^H0100^V0080"), {-98, -82}, {20, 20}},
        Clipped{"TextCounterClockwiseOffTop", Esc("^%1^H0010^V0100^XSHELLO"), {0, -50}, {0, 100}},
        Clipped{"TextHalfTurnOffLeft", Esc("^%2^H0040^V0100^XSHELLO"), {0, 0}, {100, 0}},
        // Module width 99 runs the bar code far past the metre where the picture stops.
        Clipped{"WideBarCodePastTheFarEdge", Esc("^H0010^V0010^BG99100>H0123456789ABCDEFGHIJ"), {0, 0}, {-5000, 0}},
        Clipped{"WideBarCodeClockwisePastTheFarEdge",
                Esc("^%3^H0200^V0010^BG99100>H0123456789ABCDEFGHIJ"),
                {0, 0},
                {0, -5000}},
        Clipped{"WideBarCodeHalfTurnOffLeft", Esc("^%2^H3000^V0200^BG99100>H0123456789ABCDEFGHIJ"), {0, 0}, {5000, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stream, BarCodeStandsAtItsPositionWithItsModuleAndHeight) {
    struct BarCase {
        const char* rotation;
        const char* data;
        QRect area;
        QRect ink;
    };
    // "AB" in code set B: start, two characters, check character (11 modules each) and
    // the 13-module stop, 57 modules of 3 dots, starting and ending with a bar. No data
    // draws nothing, and the commands after it are not taken for bar-code data.
    for (const BarCase& c :
         {BarCase{"", "AB", QRect(260, 270, 171, 45), QRect(260, 270, 171, 45)},
          BarCase{"^%1", "AB", QRect(260, 99, 45, 171), QRect(260, 99, 45, 171)},
          BarCase{"^%2", "AB", QRect(89, 225, 171, 45), QRect(89, 225, 171, 45)},
          BarCase{"^%3", "AB", QRect(215, 270, 45, 171), QRect(215, 270, 45, 171)},
          BarCase{"", "", QRect(260, 270, 0, 45), QRect()}, BarCase{"^%3", "", QRect(215, 270, 45, 0), QRect()}}) {
        const auto rendering =
            RenderLabel(Esc("^A^A3H10V20") + Esc(c.rotation) + Esc("^H0250^V0250^BG03045>H") + c.data + Esc("^Q1^Z"));
        ASSERT_TRUE(rendering) << rendering.error().text;
        ASSERT_EQ(rendering->items.size(), 1u);
        EXPECT_EQ(rendering->items[0].area, c.area) << c.rotation << c.data;
        EXPECT_EQ(InkBox(rendering->image), c.ink) << c.rotation << c.data;
        EXPECT_EQ(rendering->quantity, 1) << c.rotation << c.data;
    }
}

TEST(Stream, TextFillsItsCellsAtThePosition) {
    // "Hg" in XS: two 17-dot cells with the 2-dot pitch between; the capital reaches
    // the cells' top, the descender their foot.
    struct TextCase {
        const char* rotation;
        QRect area;
    };
    for (const TextCase& c : {TextCase{"", QRect(210, 100, 36, 17)}, TextCase{"^%1", QRect(210, 64, 17, 36)},
                              TextCase{"^%2", QRect(174, 83, 36, 17)}, TextCase{"^%3", QRect(193, 100, 17, 36)}}) {
        const auto rendering = RenderLabel(Esc("^A^A3H10V0") + Esc(c.rotation) + Esc("^H0200^V0100^XSHg^Q1^Z"));
        ASSERT_TRUE(rendering) << rendering.error().text;
        ASSERT_EQ(rendering->items.size(), 1u);
        EXPECT_EQ(rendering->items[0].area, c.area) << c.rotation;
        const QRect ink = InkBox(rendering->image);
        EXPECT_TRUE(c.area.contains(ink)) << c.rotation;
        EXPECT_LE(c.area.width() - ink.width(), 4) << c.rotation;
        EXPECT_LE(c.area.height() - ink.height(), 4) << c.rotation;
    }
}

TEST(Stream, EachFontHasItsCell) {
    struct FontCase {
        const char* command;
        QSize cell;
    };
    for (const FontCase& f :
         {FontCase{"XS", {17, 17}}, FontCase{"XM", {24, 24}}, FontCase{"S", {8, 15}}, FontCase{"OB", {20, 24}}}) {
        const auto rendering = RenderLabel(Esc("^A^H0010^V0010^") + f.command + "M0M" + Esc("^Q1^Z"));
        ASSERT_TRUE(rendering) << rendering.error().text;
        ASSERT_EQ(rendering->items.size(), 1u);
        const QRect expected(10, 10, 3 * f.cell.width() + 2 * 2, f.cell.height());
        EXPECT_EQ(rendering->items[0].area, expected) << f.command;
        EXPECT_TRUE(expected.contains(InkBox(rendering->image))) << f.command;
    }
}

TEST(Stream, AFontChangeWithoutAPositionContinuesAfterTheText) {
    // A heading and its value in one item: "W:" in XS (2 cells of 17 + pitch) then "32".
    const auto rendering = RenderLabel(Esc("^A^A3H5V10^H0455^V0030^XSW:^OB32^Q25^Z"));
    ASSERT_TRUE(rendering) << rendering.error().text;
    ASSERT_EQ(rendering->items.size(), 2u);
    EXPECT_EQ(rendering->items[0].area, QRect(460, 40, 36, 17));
    EXPECT_EQ(rendering->items[1].area, QRect(498, 40, 42, 24));
    EXPECT_EQ(rendering->items[1].data, "32");
    EXPECT_EQ(rendering->items[1].font, PrinterFont::OB);
}

TEST(Stream, RotationHoldsForTheItemsThatFollow) {
    const auto rendering =
        RenderLabel(Esc("^A^H0100^V0100^XSA^%3^H0300^V0100^XSB^H0400^V0100^XSC^%0^H0500^V0100^XSD^Q1^Z"));
    ASSERT_TRUE(rendering) << rendering.error().text;
    ASSERT_EQ(rendering->items.size(), 4u);
    const int rotations[] = {0, 3, 3, 0};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(rendering->items[i].rotation, rotations[i]) << i;
}

TEST(Stream, QuantityIsToldNotDrawn) {
    for (const auto& [q, quantity] :
         {std::pair{"Q24", 24}, std::pair{"Q0", 0}, std::pair{"Q-3", -3}, std::pair{"Q32767", 32767}}) {
        const auto rendering = RenderLabel(Esc("^A^H0010^V0010^XSX^") + q + Esc("^Z"));
        ASSERT_TRUE(rendering) << q << ": " << rendering.error().text;
        EXPECT_EQ(rendering->quantity, quantity) << q;
        EXPECT_EQ(rendering->items.size(), 1u) << q;
    }
}

TEST(Stream, LabelSpansTheFarthestItemPlusAMargin) {
    const auto rendering = RenderLabel(Esc("^A^H0100^V0200^XSAB^H0010^V0010^SX^Q1^Z"));
    ASSERT_TRUE(rendering) << rendering.error().text;
    EXPECT_EQ(rendering->image.size(), QSize(100 + 36 + kLabelMargin, 200 + 17 + kLabelMargin));
    EXPECT_EQ(rendering->image.pixel(0, 0), qRgb(255, 255, 255));
}

TEST(Stream, ScaleMakesEachDotASquare) {
    const std::string stream = Esc("^A^A3H3V4") + PictureItem("^H0010^V0010") + Esc("^Q1^Z");
    const auto one = RenderLabel(stream, 1);
    const auto three = RenderLabel(stream, 3);
    ASSERT_TRUE(one && three);
    EXPECT_EQ(three->image.size(), one->image.size() * 3);
    for (int y = 0; y < three->image.height(); ++y)
        for (int x = 0; x < three->image.width(); ++x)
            ASSERT_EQ(three->image.pixel(x, y), one->image.pixel(x / 3, y / 3)) << x << "," << y;
}

TEST(Stream, FarItemsDoNotAskForAHugePicture) {
    // 19998 dots down: past a metre of label, so the picture stops at 8000 dots.
    const std::string stream = Esc("^A^A3H10V9999^H0010^V9999^XSFAR^H0010^V0010^XSNEAR^Q1^Z");
    const auto rendering = RenderLabel(stream);
    ASSERT_TRUE(rendering) << rendering.error().text;
    EXPECT_EQ(rendering->image.size(), QSize(20 + 4 * 19 - 2 + kLabelMargin, 8000));
    EXPECT_EQ(rendering->items.at(0).area.top(), 19998);

    // At 9 pixels a dot the picture would take over 256 MB.
    for (const int scale : {9, 16}) {
        const auto huge = RenderLabel(stream, scale);
        ASSERT_FALSE(huge) << scale;
        EXPECT_EQ(huge.error().text, "Cannot preview this label at " + std::to_string(scale) +
                                         " pixels a dot: the 110 x 8000-dot label would be too large a picture. "
                                         "Use a smaller scale.");
    }
}

TEST(Stream, PictureBytesMayHoldEscAndTheCommandLetters) {
    // Stored plain, the picture's first bytes read ESC Z ESC Q: they must not end the job.
    std::string pcx = MakePcx(Pattern(4, std::string(16, '.')), PcxWith([](PcxOptions& o) { o.runLength = false; }));
    pcx.replace(128, 4, "\x1BZ\x1BQ");
    const auto rendering = RenderLabel(Esc("^A") + GraphicItem("^H0010^V0010", pcx) + Esc("^Q2^Z"));
    ASSERT_TRUE(rendering) << rendering.error().text;
    EXPECT_EQ(rendering->quantity, 2);
    ASSERT_EQ(rendering->items.size(), 1u);
    EXPECT_EQ(rendering->items[0].kind, ItemKind::Picture);
    EXPECT_EQ(rendering->items[0].area, QRect(10, 10, 16, 4));
}

struct Malformed {
    const char* name;
    std::string stream;
    std::string what;
    std::size_t offset;
    friend void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }
};

class MalformedStreams : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedStreams, AreRefusedSayingWhatAndWhere) {
    const Malformed& m = GetParam();
    const auto rendering = RenderLabel(m.stream);
    ASSERT_FALSE(rendering);
    const std::string& text = rendering.error().text;
    EXPECT_NE(text.find(m.what), std::string::npos) << text;
    EXPECT_NE(text.find(" at byte " + std::to_string(m.offset) + "."), std::string::npos) << text;
    EXPECT_EQ(rendering.error().icon, MessageIcon::Critical);
}

const std::string kPcx = MakePcx(kCorner);

INSTANTIATE_TEST_SUITE_P(
    Stream, MalformedStreams,
    ::testing::Values(
        Malformed{"Empty", "", "does not begin with ESC \"A\"", 0},
        Malformed{"NoStart", Esc("^H0010^V0010^XSA^Q1^Z"), "does not begin with ESC \"A\"", 0},
        Malformed{"BasePointFirst", Esc("^A3H0V0^Q1^Z"), "does not begin with ESC \"A\"", 0},
        Malformed{"TextBeforeStart", "x" + Esc("^A^Q1^Z"), "does not begin with ESC \"A\"", 0},
        Malformed{"NoEnd", Esc("^A^H0010^V0010^XSA^Q1"), "does not end with ESC \"Z\"", 21},
        Malformed{"EndsAfterEsc", Esc("^A^Q1^"), "ends just after an ESC", 5},
        Malformed{"BytesAfterEnd", Esc("^A^Q1^Z\r\n"), "2 bytes follow the end ESC \"Z\"", 7},
        Malformed{"NoQuantity", Esc("^A^H0010^V0010^XSA^Z"), "without a quantity (ESC \"Q\")", 18},
        Malformed{"SecondStart", Esc("^A^H0010^A^Q1^Z"), "a second ESC \"A\"", 8},
        Malformed{"UnknownCommand", Esc("^A^H0010^V0010^XQA^Q1^Z"), "unknown command ESC \"XQ\"", 14},
        Malformed{"UnknownByte", Esc("^A^\x01^Q1^Z"), "unknown command ESC \"<01>", 2},
        Malformed{"PositionWithoutDigits", Esc("^A^Hx^Q1^Z"), "ESC \"H\" needs 1 to 4 digits", 4},
        Malformed{"PositionTooLong", Esc("^A^V01234^Q1^Z"), "unexpected \"4\" after ESC \"V\"", 8},
        Malformed{"PositionBadDigit", Esc("^A^H00a1^Q1^Z"), "unexpected \"a\" after ESC \"H\"", 6},
        Malformed{"BaseTextNotNumber", Esc("^A^A3HabcV5^Q1^Z"), "ESC \"A3H\" needs 1 to 4 digits", 6},
        Malformed{"BaseWithoutV", Esc("^A^A3H10^Q1^Z"), "needs \"V\" after its horizontal value", 8},
        Malformed{"BaseFraction", Esc("^A^A3H2.5V0^Q1^Z"), "needs \"V\" after its horizontal value", 7},
        Malformed{"RotationOutOfRange", Esc("^A^%4^Q1^Z"), "ESC \"%\" needs a rotation of 0 to 3", 4},
        Malformed{"QuantityWithoutDigits", Esc("^A^Q^Z"), "ESC \"Q\" needs 1 to 6 digits", 4},
        Malformed{"BarCodeShortHeight", Esc("^A^BG2080>HAB^Q1^Z"), "ESC \"BG\" needs 3 digits", 9},
        Malformed{"BarCodeZeroModule", Esc("^A^BG00080>HAB^Q1^Z"), "module width is 00", 5},
        Malformed{"BarCodeWithoutCodeSetB", Esc("^A^BG02080AB^Q1^Z"), "does not start code set B with \">H\"", 10},
        Malformed{"BarCodeControl", Esc("^A^BG02080>HA>8B^Q1^Z"), "control sequence \">8\"", 13},
        Malformed{"BarCodeControlCharacter", Esc("^A^BG02080>HA\tB^Q1^Z"), "control character <09>", 13},
        Malformed{"PictureCountPastEnd", Esc("^A^H0010^GP00500,") + kPcx + Esc("^Q1^Z"),
                  "byte count 500 runs past the end of the stream", 8},
        Malformed{"PictureCountShort", Esc("^A") + GraphicItem("", kPcx) + "ABC" + Esc("^Q1^Z"),
                  "byte count " + std::to_string(kPcx.size()) + " ends inside its data", 11 + kPcx.size()},
        Malformed{"PictureWithoutComma", Esc("^A^GP00150") + kPcx + Esc("^Q1^Z"), "needs a comma after its byte count",
                  10},
        Malformed{"PictureCountFourDigits", Esc("^A^GP0150,") + kPcx + Esc("^Q1^Z"), "ESC \"GP\" needs 5 digits", 9},
        Malformed{"PictureNotPcx", Esc("^A^GP00130,") + std::string(130, 'x') + Esc("^Q1^Z"),
                  "the picture cannot be read: this is not a PCX picture", 11}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick::test
