#include "cutsheet/xml_stream.h"

#include <cstring>
#include <stdexcept>

namespace tarnwick {

XmlStream::XmlStream() : parser_(XML_ParserCreate("UTF-8")) {
    if (!parser_) throw std::bad_alloc();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlStream::OnStart, &XmlStream::OnEnd);
    XML_SetCharacterDataHandler(parser_, &XmlStream::OnText);
}

XmlStream::~XmlStream() { XML_ParserFree(parser_); }

bool XmlStream::Feed(std::string_view piece, bool last) {
    return XML_Parse(parser_, piece.data(), static_cast<int>(piece.size()), last ? 1 : 0) == XML_STATUS_OK;
}

std::string XmlStream::Error() const {
    return std::string(XML_ErrorString(XML_GetErrorCode(parser_))) + " at line " +
           std::to_string(XML_GetCurrentLineNumber(parser_));
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
    static_cast<XmlStream*>(self)->Start(LocalName(name), attributes);
}

void XmlStream::OnEnd(void* self, const XML_Char* name) { static_cast<XmlStream*>(self)->End(LocalName(name)); }

void XmlStream::OnText(void* self, const XML_Char* text, int length) {
    static_cast<XmlStream*>(self)->Text(std::string_view(text, static_cast<std::size_t>(length)));
}

}  // namespace tarnwick
