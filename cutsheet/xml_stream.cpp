#include "cutsheet/xml_stream.h"

#include <cstring>
#include <stdexcept>

namespace tarnwick {
namespace {

// Expat holds a start tag, a comment or a name whole until it ends; nothing a
// spreadsheet writes comes near this, and it bounds what a hostile part can make it hold.
constexpr std::uint64_t kTokenBytes = 4u << 20;

}  // namespace

XmlStream::XmlStream() : parser_(XML_ParserCreate("UTF-8")) {
    if (!parser_) throw std::bad_alloc();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlStream::OnStart, &XmlStream::OnEnd);
    XML_SetCharacterDataHandler(parser_, &XmlStream::OnText);
}

XmlStream::~XmlStream() { XML_ParserFree(parser_); }

bool XmlStream::Feed(std::string_view piece, bool last) {
    if (!refusal_.empty() || tooLong_) return false;
    fed_ += piece.size();
    if (XML_Parse(parser_, piece.data(), static_cast<int>(piece.size()), last ? 1 : 0) != XML_STATUS_OK) return false;
    if (fed_ - lastEvent_ > kTokenBytes) {
        tooLong_ = true;
        return false;
    }
    return true;
}

std::string XmlStream::Error() const {
    if (!refusal_.empty()) return refusal_;
    if (tooLong_) return "a piece of XML longer than 4 MB after byte " + std::to_string(lastEvent_);
    return std::string(XML_ErrorString(XML_GetErrorCode(parser_))) + " at line " +
           std::to_string(XML_GetCurrentLineNumber(parser_));
}

void XmlStream::Refuse(std::string problem) {
    if (refusal_.empty()) refusal_ = std::move(problem);
    XML_StopParser(parser_, XML_FALSE);
}

void XmlStream::Mark() {
    const XML_Index at = XML_GetCurrentByteIndex(parser_);
    if (at > 0) lastEvent_ = static_cast<std::uint64_t>(at);
}

std::string_view XmlStream::LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

const char* XmlStream::Attribute(const char** attributes, std::string_view localName) {
    for (const char** a = attributes; *a; a += 2) {
        if (LocalName(a[0]) == localName) return a[1];
    }
    return nullptr;
}

void XmlStream::OnStart(void* self, const XML_Char* name, const XML_Char** attributes) {
    auto* xml = static_cast<XmlStream*>(self);
    xml->Mark();
    if (xml->refusal_.empty()) xml->Start(LocalName(name), attributes);
}

void XmlStream::OnEnd(void* self, const XML_Char* name) {
    auto* xml = static_cast<XmlStream*>(self);
    xml->Mark();
    if (xml->refusal_.empty()) xml->End(LocalName(name));
}

void XmlStream::OnText(void* self, const XML_Char* text, int length) {
    auto* xml = static_cast<XmlStream*>(self);
    xml->Mark();
    if (xml->refusal_.empty()) xml->Text(std::string_view(text, static_cast<std::size_t>(length)));
}

}  // namespace tarnwick
