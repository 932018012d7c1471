// The main of a ported program whose entry is wmain (_tmain with _UNICODE), in the static
// library davro_wmain that davro::port links. An archive member is taken only for a symbol
// still undefined, so a program with a main of its own never gets this one.
//
// Linux starts a program at main with its arguments in the locale's multibyte form, UTF-8
// here; wmain gets each as a wide string (ill-formed parts become U+FFFD), as on Windows. The
// library's own codec does the conversion (compiled into this archive too: it is not exported).
#include <davro/platform/detail/Utf8.h>

#include <cstddef>
#include <string>
#include <vector>

extern "C" int wmain(int argc, wchar_t** argv);  // the program's (the port header's linkage)

int main(int argc, char** argv) {
    std::vector<std::wstring> texts;
    texts.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        texts.push_back(davro::platform::fromUtf8(argv[i]));
    }
    std::vector<wchar_t*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::wstring& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);  // argv[argc], as C guarantees
    return wmain(argc, pointers.data());
}
