// eMarkup: an XML document with an element cursor.
//
// The cursor has three parts: the parent level (the document itself at the
// start), the current element at that level ("main") and the current child of
// the current element ("child"). Element names match either exactly or by
// their local name, so "LODInfo" finds <LODInfo> and <ns:LODInfo>; attribute
// names match the same way ("href" finds xlink:href).
//
// Loading never resolves DTDs or external entities: only the five predefined
// entities and character references are expanded, a DOCTYPE is skipped. A
// document may hold several top-level elements. A load that fails (missing
// file, not well-formed, no element at all) leaves the previous document and
// cursor as they were.
#ifndef TVK_PLATFORM_EMARKUP_H
#define TVK_PLATFORM_EMARKUP_H

#include <memory>

#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eMarkup {
public:
    // Character set that makes Save write UTF-8 text with an XML declaration.
    static constexpr int kCharsetUtf8 = 250;

    eMarkup();
    ~eMarkup();
    eMarkup(const eMarkup&) = delete;
    eMarkup& operator=(const eMarkup&) = delete;

    // 250 (kCharsetUtf8) adds `<?xml version="1.0" encoding="UTF-8"?>` on
    // output; any other value writes no declaration. Text is always UTF-8.
    void SetEncoding(int charset);

    // ---- building ----
    // Adds an element after the last element of the current level and makes
    // it the current element; the child position is cleared. text == nullptr
    // (or "") adds no text.
    bool AddElem(const eString& name, const char* text = nullptr);
    // Adds a child behind the children the current element already has and
    // makes it the current child. Fails when there is no current element.
    bool AddChildElem(const eString& name, const char* text = nullptr);
    bool AddChildElem(const eString& name, const eString& text);

    // ---- moving ----
    // The current child becomes the current element (its children are then
    // searched by FindChildElem). Fails when there is no current child.
    bool IntoElem();
    // Back to the parent: the parent becomes the current element and the
    // element left becomes the current child. Fails at the top level.
    bool OutOfElem();
    // Finds the next element named `name` at the current level after the
    // current element (from the first one when there is none); an empty name
    // matches any element. Clears the child position.
    bool FindElem(const eString& name = eString());
    // Finds the next child named `name` of the current element after the
    // current child. Without a current element it first takes the first
    // element of the current level (so after Load it searches the root).
    bool FindChildElem(const eString& name = eString());
    // Searches from the first child again on the next FindChildElem.
    void ResetChildPos();
    // Back to the top level with nothing selected.
    void ResetPos();

    // ---- reading ----
    // Text of the current child / current element (the concatenation of its
    // own text and CDATA parts, exactly as loaded); "" when there is none.
    eString GetChildData() const;
    eString GetData() const;
    // Name of the current element / child as written in the document.
    eString GetTagName() const;
    eString GetChildTagName() const;
    // Value of an attribute of the current element / current child; "" when
    // there is no such attribute or no such element.
    eString GetAttrib(const eString& name) const;
    eString GetChildAttrib(const eString& name) const;
    // Markup text of the current element (the element entered last) with
    // everything inside it; "" when there is no current element.
    eString GetSubDoc() const;

    // ---- whole document ----
    // Loads a file; false when it cannot be read or is not well-formed XML.
    bool Load(const eString& path);
    // Writes the document to a temporary file beside `path` and renames it
    // over `path`, so a failed save leaves any previous file intact.
    bool Save(const eString& path) const;
    // Parses text instead of a file; the same rules as Load.
    bool SetDoc(const eString& text);
    eString GetDoc() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace TVK

#endif
