#pragma once

#include <expat.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// SAX parsing with expat, fed in pieces. Element and attribute names reach the
// handlers without their namespace prefix ("x:c" and "c" alike), which is all the
// spreadsheet parts need.
class XmlStream {
public:
    XmlStream();
    virtual ~XmlStream();
    XmlStream(const XmlStream&) = delete;
    XmlStream& operator=(const XmlStream&) = delete;

    // Feeds the next piece; last marks the end of the document. False when the XML is
    // not well-formed, or a handler refused what it read; Error() then says which.
    bool Feed(std::string_view piece, bool last);
    std::string Error() const;
    // Set when a handler refused the document (not a fault of the XML itself).
    const std::string& Refusal() const { return refusal_; }
    std::uint64_t BytesFed() const { return fed_; }

    static std::string_view LocalName(const char* name);
    // The value of the attribute with this local name, or nullptr.
    static const char* Attribute(const char** attributes, std::string_view localName);

protected:
    // Stops the parse at once; Feed then fails with this problem as the refusal.
    void Refuse(std::string problem);

    virtual void Start(std::string_view name, const char** attributes) = 0;
    virtual void End(std::string_view name) = 0;
    virtual void Text(std::string_view) {}

private:
    static void OnStart(void* self, const XML_Char* name, const XML_Char** attributes);
    static void OnEnd(void* self, const XML_Char* name);
    static void OnText(void* self, const XML_Char* text, int length);
    void Mark();

    XML_Parser parser_;
    std::string refusal_;
    std::uint64_t fed_ = 0;
    std::uint64_t lastEvent_ = 0;  // where the parser last reported something
    bool tooLong_ = false;
};

}  // namespace tarnwick
