// Built against the installed headers and library only.
#include <tvk.h>

#include <cstdio>

int main() {
    TVK::eString text("MaxRenderLevel");
    TVK::eByteArray bytes;
    const unsigned char payload[3] = {1, 2, 3};
    bytes.Add(payload, 3);
    if (text.GetLength() != 14 || bytes.GetSize() != 3) return 1;
    std::puts("consumer ok");
    return 0;
}
