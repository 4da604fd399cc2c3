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
    std::string text;
    void write(const void* data, size_t size) override {
        text.append(static_cast<const char*>(data), size);
    }
};

// Reads a whole regular file. Anything else (a folder, a device, a pipe)
// is refused: their sizes are meaningless and reading may never end.
bool ReadRegularFile(const char* path, std::string& out) {
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return false;
    struct stat st;
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(file.fd, buffer, sizeof buffer);
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
        m_path = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
        // O_EXCL: never write through a file or link that is already there.
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    ~TempFile() {
        if (m_fd >= 0) ::close(m_fd);
        if (m_created && !m_kept) ::unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool IsOpen() { return m_created = (m_fd >= 0); }
    bool WriteAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
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
        if (::fsync(m_fd) != 0) return false;
        int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) return false;
        if (::rename(m_path.c_str(), target.c_str()) != 0) return false;
        m_kept = true;
        return true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_created = false;
    bool m_kept = false;
};

}  // namespace

struct eMarkup::Impl {
    std::unique_ptr<pugi::xml_document> doc = std::make_unique<pugi::xml_document>();
    pugi::xml_node parent;
    pugi::xml_node main;
    pugi::xml_node child;
    int charset = 0;

    void Reset() {
        parent = *doc;
        main = pugi::xml_node();
        child = pugi::xml_node();
    }

    bool Adopt(std::unique_ptr<pugi::xml_document> fresh, const pugi::xml_parse_result& result) {
        if (!result || !HasElement(*fresh)) return false;
        doc = std::move(fresh);
        Reset();
        return true;
    }

    std::string Serialise() const {
        StringWriter out;
        unsigned flags = pugi::format_indent;
        if (charset == kCharsetUtf8) {
            out.text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        }
        // Our own declaration (above) replaces any that was loaded.
        flags |= pugi::format_no_declaration;
        for (pugi::xml_node node = doc->first_child(); node; node = node.next_sibling()) {
            if (node.type() == pugi::node_declaration) continue;
            node.print(out, "\t", flags, pugi::encoding_utf8);
        }
        return out.text;
    }
};

eMarkup::eMarkup() : m_impl(std::make_unique<Impl>()) { m_impl->Reset(); }

eMarkup::~eMarkup() = default;

void eMarkup::SetEncoding(int charset) { m_impl->charset = charset; }

bool eMarkup::AddElem(const eString& name, const char* text) {
    if (name.IsEmpty()) return false;
    Impl& m = *m_impl;
    pugi::xml_node node = m.parent.append_child(name.Cstr());
    if (!node) return false;
    if (text != nullptr && *text != '\0' && !node.append_child(pugi::node_pcdata).set_value(text)) {
        m.parent.remove_child(node);
        return false;
    }
    m.main = node;
    m.child = pugi::xml_node();
    return true;
}

bool eMarkup::AddChildElem(const eString& name, const char* text) {
    Impl& m = *m_impl;
    if (name.IsEmpty() || !m.main) return false;
    pugi::xml_node node = m.main.append_child(name.Cstr());
    if (!node) return false;
    if (text != nullptr && *text != '\0' && !node.append_child(pugi::node_pcdata).set_value(text)) {
        m.main.remove_child(node);
        return false;
    }
    m.child = node;
    return true;
}

bool eMarkup::AddChildElem(const eString& name, const eString& text) {
    return AddChildElem(name, text.Cstr());
}

bool eMarkup::IntoElem() {
    Impl& m = *m_impl;
    if (!m.main || !m.child) return false;
    m.parent = m.main;
    m.main = m.child;
    m.child = pugi::xml_node();
    return true;
}

bool eMarkup::OutOfElem() {
    Impl& m = *m_impl;
    if (m.parent == *m.doc) return false;
    m.child = m.main;
    m.main = m.parent;
    m.parent = m.parent.parent();
    return true;
}

bool eMarkup::FindElem(const eString& name) {
    Impl& m = *m_impl;
    pugi::xml_node found = NextElement(m.main, m.parent, name);
    if (!found) return false;
    m.main = found;
    m.child = pugi::xml_node();
    return true;
}

bool eMarkup::FindChildElem(const eString& name) {
    Impl& m = *m_impl;
    if (!m.main && !FindElem()) return false;
    pugi::xml_node found = NextElement(m.child, m.main, name);
    if (!found) return false;
    m.child = found;
    return true;
}

void eMarkup::ResetChildPos() { m_impl->child = pugi::xml_node(); }

void eMarkup::ResetPos() { m_impl->Reset(); }

eString eMarkup::GetChildData() const { return m_impl->child ? TextOf(m_impl->child) : eString(); }

eString eMarkup::GetData() const { return m_impl->main ? TextOf(m_impl->main) : eString(); }

eString eMarkup::GetTagName() const {
    return m_impl->main ? eString(m_impl->main.name()) : eString();
}

eString eMarkup::GetChildTagName() const {
    return m_impl->child ? eString(m_impl->child.name()) : eString();
}

namespace {

eString AttributeOf(pugi::xml_node element, const eString& name) {
    if (!element || name.IsEmpty()) return eString();
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute())
        if (NameMatches(a.name(), name)) return eString(a.value());
    return eString();
}

}  // namespace

eString eMarkup::GetAttrib(const eString& name) const { return AttributeOf(m_impl->main, name); }

eString eMarkup::GetChildAttrib(const eString& name) const {
    return AttributeOf(m_impl->child, name);
}

eString eMarkup::GetSubDoc() const {
    if (!m_impl->main) return eString();
    StringWriter out;
    m_impl->main.print(out, "", pugi::format_raw, pugi::encoding_utf8);
    return eString(std::move(out.text));
}

bool eMarkup::Load(const eString& path) {
    std::string text;
    if (!ReadRegularFile(path.Cstr(), text)) return false;
    auto fresh = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result result =
        fresh->load_buffer(text.data(), text.size(), kParseFlags, pugi::encoding_auto);
    return m_impl->Adopt(std::move(fresh), result);
}

bool eMarkup::SetDoc(const eString& text) {
    auto fresh = std::make_unique<pugi::xml_document>();
    pugi::xml_parse_result result = fresh->load_buffer(
        text.Cstr(), static_cast<size_t>(text.GetLength()), kParseFlags, pugi::encoding_auto);
    return m_impl->Adopt(std::move(fresh), result);
}

eString eMarkup::GetDoc() const { return eString(m_impl->Serialise()); }

bool eMarkup::Save(const eString& path) const {
    if (path.IsEmpty()) return false;
    const std::string text = m_impl->Serialise();
    TempFile temp(path.Std());
    if (!temp.IsOpen()) return false;
    return temp.WriteAll(text) && temp.CommitTo(path.Cstr());
}

}  // namespace TVK
