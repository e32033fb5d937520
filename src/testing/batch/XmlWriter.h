#pragma once
// The XML of the batch reports, written without a toolkit: indented by two blanks, elements
// without content closed as <a/>, text kept on the line of its element. The layout is that of
// the reports the tool has always written, so that readers that compare them keep working.
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

class XmlWriter {
public:
    XmlWriter();
    void StartElement(std::string_view name);
    // Only between StartElement and the element's first content.
    void Attribute(std::string_view name, std::string_view utf8);
    void Characters(std::string_view utf8);
    void EmptyElement(std::string_view name); // its attributes follow, as for StartElement
    void TextElement(std::string_view name, std::string_view utf8);
    void EndElement();
    // Closes what is open; the document's bytes.
    std::string Finish();

private:
    struct Open {
        std::string name;
        bool children = false;
        bool empty = false; // written by EmptyElement: ends with the next call
    };
    void CloseStartTag();
    void NewLine(std::size_t depth);

    std::string m_out;
    std::vector<Open> m_open;
    bool m_inStartTag = false;
};

// Text as XML 1.0 may hold it: malformed UTF-8 and the control characters that XML cannot hold,
// not even as references, become U+FFFD.
std::string XmlSafeText(std::string_view utf8);

} // namespace kestrel
