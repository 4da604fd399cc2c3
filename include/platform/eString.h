// eString: the library's 8-bit string, used for every name, path and text.
// eStringEx: a string with the 32-bit hash that eHash probes with.
#ifndef TVK_PLATFORM_ESTRING_H
#define TVK_PLATFORM_ESTRING_H

#include <cstdint>
#include <string>

#include "platform/eExport.h"

namespace TVK {

class TVK_API eString {
public:
    eString() = default;
    eString(const char* text);  // NOLINT: implicit by design, like a C string
    eString(const char* text, eInt length);
    eString(const std::string& text);      // NOLINT
    eString(std::string&& text) noexcept;  // NOLINT

    const char* Cstr() const { return m_str.c_str(); }
    eInt GetLength() const { return static_cast<eInt>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    // printf-style; replaces the content. Returns *this for chaining.
    eString& Format(const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // Leading white space and a sign are accepted; parsing stops at the first
    // character that is not a digit of the radix. No digits gives 0; values
    // beyond 32 bits saturate.
    eInt ToInt(int radix = 10) const;
    // Locale-independent decimal conversion (C locale), 0.0 when the text
    // does not start with a number.
    double ToDouble() const;

    // Removes every trailing occurrence of ch.
    eString& TrimRight(char ch);
    eString& MakeLower();
    eString& MakeUpper();
    // 0 when the two texts are equal but for ASCII letter case; otherwise the
    // sign of the first difference of the lower-cased texts.
    int CompareNoCase(const eString& other) const;

    eInt Find(const char* what, eInt start = 0) const;  // -1 when absent
    eInt ReverseFind(char ch) const;                    // -1 when absent
    eString Left(eInt count) const;
    eString Mid(eInt start, eInt count = -1) const;
    char GetAt(eInt index) const { return m_str[static_cast<size_t>(index)]; }

    eString& operator+=(const eString& other) {
        m_str += other.m_str;
        return *this;
    }
    eString& operator+=(const char* other) {
        m_str += other;
        return *this;
    }
    eString& operator+=(char ch) {
        m_str += ch;
        return *this;
    }

    friend bool operator==(const eString& a, const eString& b) { return a.m_str == b.m_str; }
    friend bool operator!=(const eString& a, const eString& b) { return a.m_str != b.m_str; }
    friend bool operator<(const eString& a, const eString& b) { return a.m_str < b.m_str; }
    friend eString operator+(const eString& a, const eString& b) {
        return eString(a.m_str + b.m_str);
    }

    const std::string& Std() const { return m_str; }
    std::string& Std() { return m_str; }

private:
    std::string m_str;
};

class TVK_API eStringEx : public eString {
public:
    eStringEx() = default;
    eStringEx(const eString& text) : eString(text) {}  // NOLINT
    // FNV-1a over the bytes: cheap, stable across runs and platforms.
    uint32_t HashVal() const;
};

}  // namespace TVK

#endif
