// Compares the C interface with the C++ one that it restates: every constant that
// davro/platform/Win32C.h defines as a macro must have the C++ constant's value and size,
// and every structure and scalar type that it declares the C++ type's size and alignment.
// Prints each difference; exit code 0 when there is none.
#include <davro/platform/Win32.h>
#include <davro/platform/Win32Pool.h>
#include <davro/platform/Win32Sync.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <type_traits>

#include "Report.h"

namespace {

using namespace davro::win32;

// A constant's bits as C's cast to unsigned long long gives them (sign-extended integers,
// pointers by address).
template <typename T>
unsigned long long bitsOf(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<std::uintptr_t>(value);
    } else {
        return static_cast<unsigned long long>(value);
    }
}

struct Entry {
    unsigned long long value;
    std::size_t size;
    std::size_t alignment;
    bool isSigned;
    bool seen = false;
};

std::map<std::string, Entry>& cxxEntries() {
    static std::map<std::string, Entry> entries = [] {
        std::map<std::string, Entry> m;
#define DAVRO_CONSTANT(name) \
    m[#name] = {bitsOf(name), sizeof(name), 0, std::is_signed_v<decltype(name)>};
#define DAVRO_TYPE(name) m[#name] = {0, sizeof(name), alignof(name), std::is_signed_v<name>};
#include "Names.inc"
#undef DAVRO_CONSTANT
#undef DAVRO_TYPE
        return m;
    }();
    return entries;
}

int differences = 0;

void compare(const char* name, unsigned long long value, std::size_t size, std::size_t alignment,
             int isSigned) {
    Entry& cxx = cxxEntries().at(name);
    cxx.seen = true;
    if (cxx.value != value || cxx.size != size || cxx.alignment != alignment ||
        cxx.isSigned != (isSigned != 0)) {
        std::printf("%s: C value %#llx, size %zu, alignment %zu, %s; C++ %#llx, %zu, %zu, %s\n",
                    name, value, size, alignment, isSigned != 0 ? "signed" : "unsigned", cxx.value,
                    cxx.size, cxx.alignment, cxx.isSigned ? "signed" : "unsigned");
        ++differences;
    }
}

}  // namespace

int main() {
    reportCInterface(compare);
    for (const auto& [name, entry] : cxxEntries()) {
        if (!entry.seen) {
            std::printf("%s: not reported by the C side\n", name.c_str());
            ++differences;
        }
    }
    std::printf("%zu names compared, %d differences\n", cxxEntries().size(), differences);
    return differences == 0 ? 0 : 1;
}
