// YString: appends, numbers, a buffer for C-style writers; YGenericString: its UTF-8 text.
#include <davro/string/String.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

int main() {
    YString name(L"queue");
    name += L".event";
    name += 3;  // "queue.event3"

    YString buffer(16, L' ');  // 16 characters, so a buffer of 17
    std::swprintf(static_cast<wchar_t*>(buffer), 17, L"%d items", 42);
    // From the next operation on, the text ends at the first null written: "42 items".

    YGenericString utf8(YString(L"Gr\u00fc\u00dfe"));  // "Grüße": 7 bytes in UTF-8
    const char* bytes = utf8;

    std::printf("%s (%d), %s (%d), %s (%zu bytes)\n", static_cast<char*>(YGenericString(name)),
                name.length(), static_cast<char*>(YGenericString(buffer)), buffer.length(), bytes,
                std::strlen(bytes));
    return name.length() == 12 && buffer.length() == 8 && std::strlen(bytes) == 7 ? 0 : 1;
}
