// eMarkup over pugixml.
//
// Invariants: m_parent is the document or an element; m_main, when set, is
// an element child of m_parent; m_child, when set, is an element child of
// m_main. A failed load or parse never touches the current document: the new
// text is parsed into a fresh document that replaces the old one only when
// it is accepted.
#include "platform/eMarkup.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

namespace TVK {

namespace {

// Several top-level elements are allowed (an extent file holds EnvelopeN
// followed by IndexBounds). No DOCTYPE or entity processing beyond the
// predefined entities: parse_doctype is off, so a DTD is skipped unread.
// A text made only of white space is kept when it is an element's only
// content, so it reads back exactly.
constexpr unsigned kParseFlags =
    pugi::parse_default | pugi::parse_fragment | pugi::parse_ws_pcdata_single;

bool NameMatches(const char* nodeName, const eString& wanted) {
    if (wanted.IsEmpty()) return true;
    if (std::strcmp(nodeName, wanted.Cstr()) == 0) return true;
    // <ns:LODInfo> is found by "LODInfo".
    const char* colon = std::strrchr(nodeName, ':');
    return colon != nullptr && std::strcmp(colon + 1, wanted.Cstr()) == 0;
}

pugi::xml_node NextElement(pugi::xml_node from, pugi::xml_node parent, const eString& name) {
    pugi::xml_node node = from ? from.next_sibling() : parent.first_child();
    for (; node; node = node.next_sibling())
        if (node.type() == pugi::node_element && NameMatches(node.name(), name)) return node;
    return pugi::xml_node();
}

eString TextOf(pugi::xml_node element) {
    std::string text;
    for (pugi::xml_node node = element.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            text += node.value();
    return eString(std::move(text));
}

bool HasElement(const pugi::xml_document& doc) {
    for (pugi::xml_node node = doc.first_child(); node; node = node.next_sibling())
        if (node.type() == pugi::node_element) return true;
    return false;
}

// Collects pugixml's output in a string.
struct StringWriter : pugi::xml_writer {
    std::string m_strText;
    void write(const void* data, size_t size) override {
        m_strText.append(static_cast<const char*>(data), size);
    }
};

// Reads a whole regular file. Anything else (a folder, a device, a pipe)
// is refused: their sizes are meaningless and reading may never end.
bool ReadRegularFile(const char* path, std::string& out) {
    struct Fd {
        int m_nFd;
        ~Fd() {
            if (m_nFd >= 0) ::close(m_nFd);
        }
    } file{::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.m_nFd < 0) return false;
    struct stat st;
    if (::fstat(file.m_nFd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(file.m_nFd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
    }
}

// Owned descriptor of the temporary file beside the target; removes the file
// unless it was renamed onto the target.
class TempFile {
public:
    explicit TempFile(const std::string& target) {
        static std::atomic<unsigned> counter{0};
        m_strPath = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
        // O_EXCL: never write through a file or link that is already there.
        m_nFd = ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    ~TempFile() {
        if (m_nFd >= 0) ::close(m_nFd);
        if (m_bCreated && !m_bKept) ::unlink(m_strPath.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool IsOpen() { return m_bCreated = (m_nFd >= 0); }
    bool WriteAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(m_nFd, data.data() + done, data.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Flushes, closes and renames onto target.
    bool CommitTo(const std::string& target) {
        if (::fsync(m_nFd) != 0) return false;
        int fd = m_nFd;
        m_nFd = -1;
        if (::close(fd) != 0) return false;
        if (::rename(m_strPath.c_str(), target.c_str()) != 0) return false;
        m_bKept = true;
        return true;
    }

private:
    std::string m_strPath;
    int m_nFd = -1;
    bool m_bCreated = false;
    bool m_bKept = false;
};

}  // namespace

struct eMarkup::Impl {
    std::unique_ptr<pugi::xml_document> m_pDoc = std::make_unique<pugi::xml_document>();
    pugi::xml_node m_parent;
    pugi::xml_node m_main;
    pugi::xml_node m_child;
    int m_nCharset = 0;

    void Reset() {
        m_parent = *m_pDoc;
        m_main = pugi::xml_node();
        m_child = pugi::xml_node();
    }

    bool Adopt(std::unique_ptr<pugi::xml_document> fresh, const pugi::xml_parse_result& result) {
        if (!result || !HasElement(*fresh)) return false;
        m_pDoc = std::move(fresh);
        Reset();
        return true;
    }

    std::string Serialise() const {
        StringWriter out;
        unsigned flags = pugi::format_indent;
        if (m_nCharset == kCharsetUtf8) {
            out.m_strText = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        }
        // Our own declaration (above) replaces any that was loaded.
        flags |= pugi::format_no_declaration;
        for (pugi::xml_node node = m_pDoc->first_child(); node; node = node.next_sibling()) {
            if (node.type() == pugi::node_declaration) continue;
            node.print(out, "\t", flags, pugi::encoding_utf8);
        }
        return out.m_strText;
    }
};

eMarkup::eMarkup() : m_pImpl(std::make_unique<Impl>()) { m_pImpl->Reset(); }

eMarkup::~eMarkup() = default;

void eMarkup::SetEncoding(int charset) { m_pImpl->m_nCharset = charset; }

bool eMarkup::AddElem(const eString& name, const char* text) {
    if (name.IsEmpty()) return false;
    Impl& m = *m_pImpl;
    pugi::xml_node node = m.m_parent.append_child(name.Cstr());
    if (!node) return false;
    if (text != nullptr && *text != '\0' && !node.append_child(pugi::node_pcdata).set_value(text)) {
        m.m_parent.remove_child(node);
        return false;
    }
    m.m_main = node;
    m.m_child = pugi::xml_node();
    return true;
}

bool eMarkup::AddChildElem(const eString& name, const char* text) {
    Impl& m = *m_pImpl;
    if (name.IsEmpty() || !m.m_main) return false;
    pugi::xml_node node = m.m_main.append_child(name.Cstr());
    if (!node) return false;
    if (text != nullptr && *text != '\0' && !node.append_child(pugi::node_pcdata).set_value(text)) {
        m.m_main.remove_child(node);
        return false;
    }
    m.m_child = node;
    return true;
}

bool eMarkup::AddChildElem(const eString& name, const eString& text) {
    return AddChildElem(name, text.Cstr());
}

bool eMarkup::IntoElem() {
    Impl& m = *m_pImpl;
    if (!m.m_main || !m.m_child) return false;
    m.m_parent = m.m_main;
    m.m_main = m.m_child;
    m.m_child = pugi::xml_node();
    return true;
}

bool eMarkup::OutOfElem() {
    Impl& m = *m_pImpl;
    if (m.m_parent == *m.m_pDoc) return false;
    m.m_child = m.m_main;
    m.m_main = m.m_parent;
    m.m_parent = m.m_parent.parent();
    return true;
}

bool eMarkup::FindElem(const eString& name) {
    Impl& m = *m_pImpl;
    pugi::xml_node found = NextElement(m.m_main, m.m_parent, name);
    if (!found) return false;
    m.m_main = found;
    m.m_child = pugi::xml_node();
    return true;
}

bool eMarkup::FindChildElem(const eString& name) {
    Impl& m = *m_pImpl;
    if (!m.m_main && !FindElem()) return false;
    pugi::xml_node found = NextElement(m.m_child, m.m_main, name);
    if (!found) return false;
    m.m_child = found;
    return true;
}

void eMarkup::ResetChildPos() { m_pImpl->m_child = pugi::xml_node(); }

void eMarkup::ResetPos() { m_pImpl->Reset(); }

eString eMarkup::GetChildData() const {
    return m_pImpl->m_child ? TextOf(m_pImpl->m_child) : eString();
}

eString eMarkup::GetData() const { return m_pImpl->m_main ? TextOf(m_pImpl->m_main) : eString(); }

eString eMarkup::GetTagName() const {
    return m_pImpl->m_main ? eString(m_pImpl->m_main.name()) : eString();
}

eString eMarkup::GetChildTagName() const {
    return m_pImpl->m_child ? eString(m_pImpl->m_child.name()) : eString();
}

namespace {

eString AttributeOf(pugi::xml_node element, const eString& name) {
    if (!element || name.IsEmpty()) return eString();
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute())
        if (NameMatches(a.name(), name)) return eString(a.value());
    return eString();
}

}  // namespace

eString eMarkup::GetAttrib(const eString& name) const { return AttributeOf(m_pImpl->m_main, name); }

eString eMarkup::GetChildAttrib(const eString& name) const {
    return AttributeOf(m_pImpl->m_child, name);
}

eString eMarkup::GetSubDoc() const {
    if (!m_pImpl->m_main) return eString();
    StringWriter out;
    m_pImpl->m_main.print(out, "", pugi::format_raw, pugi::encoding_utf8);
    return eString(std::move(out.m_strText));
}

bool eMarkup::Load(const eString& path) {
    std::string text;
    if (!ReadRegularFile(path.Cstr(), text)) return false;
    auto fresh = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result result =
        fresh->load_buffer(text.data(), text.size(), kParseFlags, pugi::encoding_auto);
    return m_pImpl->Adopt(std::move(fresh), result);
}

bool eMarkup::SetDoc(const eString& text) {
    auto fresh = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result result = fresh->load_buffer(
        text.Cstr(), static_cast<size_t>(text.GetLength()), kParseFlags, pugi::encoding_auto);
    return m_pImpl->Adopt(std::move(fresh), result);
}

eString eMarkup::GetDoc() const { return eString(m_pImpl->Serialise()); }

bool eMarkup::Save(const eString& path) const {
    if (path.IsEmpty()) return false;
    const std::string text = m_pImpl->Serialise();
    TempFile temp(path.Std());
    if (!temp.IsOpen()) return false;
    return temp.WriteAll(text) && temp.CommitTo(path.Cstr());
}

}  // namespace TVK
