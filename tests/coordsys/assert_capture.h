// Records Eassert reports for the lifetime of one object (tests only; not
// thread-safe, one capture at a time).
#ifndef TVK_TESTS_COORDSYS_ASSERT_CAPTURE_H
#define TVK_TESTS_COORDSYS_ASSERT_CAPTURE_H

#include <string>
#include <vector>

#include "platform/eAssert.h"

namespace TVK {
namespace test {

struct tagAssertReport {
    std::string expr;
    std::string file;
    int line;
};

class AssertCapture {
public:
    AssertCapture() : m_previous(SetAssertHandler(&AssertCapture::Record)) { Reports().clear(); }
    ~AssertCapture() { SetAssertHandler(m_previous); }
    AssertCapture(const AssertCapture&) = delete;
    AssertCapture& operator=(const AssertCapture&) = delete;

    static std::vector<tagAssertReport>& Reports() {
        static std::vector<tagAssertReport> reports;
        return reports;
    }

private:
    static void Record(const char* expr, const char* file, int line) {
        Reports().push_back(tagAssertReport{expr ? expr : "", file ? file : "", line});
    }
    eAssertHandler m_previous;
};

}  // namespace test
}  // namespace TVK

#endif
