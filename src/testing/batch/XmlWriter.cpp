#include "testing/batch/XmlWriter.h"

#include "core/Gbk.h"

namespace kestrel {

namespace {

// Quotes are escaped in text too, and line breaks and tabs only in attributes, where a reader
// would otherwise fold them into blanks. A carriage return is escaped everywhere: a reader turns
// a raw one into a line feed.
void Escape(std::string& out, std::string_view text, bool attribute) {
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += attribute ? "&#10;" : "\n";
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\t':
            out += attribute ? "&#9;" : "\t";
            break;
        default:
            out += c;
        }
    }
}

} // namespace

XmlWriter::XmlWriter() : m_out("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") {}

void XmlWriter::NewLine(std::size_t depth) {
    m_out += '\n';
    m_out.append(depth * 2, ' ');
}

void XmlWriter::CloseStartTag() {
    if (!m_inStartTag)
        return;
    m_inStartTag = false;
    if (m_open.back().empty) {
        m_out += "/>";
        m_open.pop_back();
        return;
    }
    m_out += '>';
}

void XmlWriter::StartElement(std::string_view name) {
    CloseStartTag();
    if (!m_open.empty())
        m_open.back().children = true;
    NewLine(m_open.size());
    m_out += '<';
    m_out += name;
    m_open.push_back({std::string(name)});
    m_inStartTag = true;
}

void XmlWriter::EmptyElement(std::string_view name) {
    StartElement(name);
    m_open.back().empty = true;
}

void XmlWriter::Attribute(std::string_view name, std::string_view utf8) {
    m_out += ' ';
    m_out += name;
    m_out += "=\"";
    Escape(m_out, XmlSafeText(utf8), true);
    m_out += '"';
}

void XmlWriter::Characters(std::string_view utf8) {
    CloseStartTag();
    Escape(m_out, XmlSafeText(utf8), false);
}

void XmlWriter::TextElement(std::string_view name, std::string_view utf8) {
    StartElement(name);
    CloseStartTag();
    Characters(utf8);
    EndElement();
}

void XmlWriter::EndElement() {
    // An empty element ends by itself: this ends the one that holds it.
    if (m_inStartTag && m_open.back().empty)
        CloseStartTag();
    if (m_inStartTag) {
        m_inStartTag = false;
        m_out += "/>";
        m_open.pop_back();
        return;
    }
    const Open element = std::move(m_open.back());
    m_open.pop_back();
    if (element.children)
        NewLine(m_open.size());
    m_out += "</";
    m_out += element.name;
    m_out += '>';
}

std::string XmlWriter::Finish() {
    if (m_inStartTag && m_open.back().empty)
        CloseStartTag();
    while (!m_open.empty())
        EndElement();
    m_out += '\n';
    return std::move(m_out);
}

std::string XmlSafeText(std::string_view utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    std::u16string safe;
    safe.reserve(units.size());
    for (char16_t unit : units) {
        if ((unit < 0x20 && unit != '\t' && unit != '\n' && unit != '\r') || unit == 0xFFFE || unit == 0xFFFF)
            unit = 0xFFFD;
        safe += unit;
    }
    return Utf16ToUtf8(safe);
}

} // namespace kestrel
