#pragma once
// CXmlDocument: the XML engine of both programs.
//
// The whole document is one text in the system code page; a flat node table points into it and a
// cursor of three positions (parent, main, child) navigates it. Edits change the text in place.

#include <cstdint>
#include <string>
#include <string_view>

class CXmlDocument {
public:
    CXmlDocument();
    ~CXmlDocument();
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // Replaces the document and parses it; all positions reset. True when well-formed.
    bool SetDocument(std::string_view text);
    // The current document text.
    const std::string& Document() const;
    // Reads and converts the file, then parses it. False when unreadable or not well-formed.
    bool LoadFile(const std::string& path);
    // Converts to the declared encoding and writes the whole text. False when it cannot be written.
    bool SaveFile(const std::string& path);
    // Notes left by the last load, parse or save (an XML fragment of empty elements).
    const std::string& ResultNotes() const;

    void ResetPosition();
    // name == nullptr matches any element.
    bool FindElement(const char* name = nullptr);
    bool FindChildElement(const char* name = nullptr);
    bool EnterElement();
    bool LeaveElement();

    std::string ElementText() const;
    std::string ChildElementText() const;
    std::string Attribute(const char* name) const;
    std::string ChildAttribute(const char* name) const;
    std::string TagName() const;

    bool AppendElement(const char* name, const char* text = nullptr);
    bool AppendChildElement(const char* name, const char* text = nullptr);
    bool AppendChildElement(const char* name, int value);
    bool SetElementText(const char* text);
    bool SetAttribute(const char* name, const char* value);
    bool SetAttribute(const char* name, int value);
    bool RemoveElement();

private:
    struct Impl;
    Impl* m_impl;
};
