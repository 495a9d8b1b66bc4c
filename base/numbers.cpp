#include "base/numbers.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tarnwick {
namespace {

bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The text with every skipped character removed; Val reads "1 2" as 12.
std::string Squeezed(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (!IsSkipped(c)) out.push_back(c);
    return out;
}

int DigitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

// "&H"/"&O" literals: up to 16 bits they are signed 16-bit (&HFFFF is -1), up to
// 32 bits signed 32-bit, as the old runtime typed them.
double RadixNumber(const std::string& s, std::size_t pos, int base, std::size_t* end) {
    double value = 0;
    std::size_t i = pos;
    while (i < s.size() && DigitValue(s[i], base) >= 0) {
        value = value * base + DigitValue(s[i], base);
        ++i;
    }
    *end = i;
    if (value <= 0xFFFF) {
        if (value >= 0x8000) value -= 0x10000;
    } else if (value <= 0xFFFFFFFFu) {
        if (value >= 0x80000000u) value -= 4294967296.0;
    }
    return value;
}

// Parses the number at the start of an already squeezed text; *end is where it stopped.
double ParseSqueezed(const std::string& s, std::size_t* end) {
    std::size_t i = 0;
    if (s.size() >= 2 && s[0] == '&') {
        char r = s[1];
        if (r == 'H' || r == 'h') return RadixNumber(s, 2, 16, end);
        if (r == 'O' || r == 'o') return RadixNumber(s, 2, 8, end);
        *end = 0;
        return 0;
    }
    std::string plain;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) plain.push_back(s[i++]);
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        plain.push_back(s[i++]);
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        plain.push_back(s[i++]);
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            plain.push_back(s[i++]);
            ++digits;
        }
    }
    if (digits == 0) {
        *end = 0;
        return 0;
    }
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exp = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp.push_back(s[j++]);
        std::size_t expDigits = 0;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            exp.push_back(s[j++]);
            ++expDigits;
        }
        if (expDigits > 0) {
            plain += exp;
            i = j;
        }
    }
    *end = i;
    return std::strtod(plain.c_str(), nullptr);
}

}  // namespace

double LeadingNumber(std::string_view text) {
    std::size_t end = 0;
    return ParseSqueezed(Squeezed(text), &end);
}

bool IsWholeNumberText(std::string_view text) {
    std::size_t first = 0, last = text.size();
    while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
    std::string s(text.substr(first, last - first));
    if (s.empty()) return false;
    for (char c : s)
        if (IsSkipped(c)) return false;
    std::size_t end = 0;
    ParseSqueezed(s, &end);
    return end == s.size();
}

std::optional<std::int16_t> RoundToInt16(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    // nearbyint honours the rounding mode, which is round-half-even unless someone changed it.
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(saved);
    if (rounded < -32768.0 || rounded > 32767.0) return std::nullopt;
    return static_cast<std::int16_t>(rounded);
}

std::string FormatNumber(double value) {
    if (value == 0) return "0";
    char buf[64];
    if (std::trunc(value) == value && std::fabs(value) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%.15G", value);
    std::string s = buf;
    const auto expPos = s.find('E');
    std::string mantissa = s.substr(0, expPos);
    const std::string exponent = expPos == std::string::npos ? "" : s.substr(expPos);
    if (mantissa.find('.') != std::string::npos) {
        while (!mantissa.empty() && mantissa.back() == '0') mantissa.pop_back();
        if (!mantissa.empty() && mantissa.back() == '.') mantissa.pop_back();
    }
    return mantissa + exponent;
}

}  // namespace tarnwick
