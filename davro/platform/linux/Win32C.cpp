// The C entry points of davro/platform/Win32C.h, and the module lookups that find them by
// name (GetModuleHandleW/A, GetProcAddress).
//
// Each C entry point forwards to the function of the same name in davro::win32; the two
// take the same types, as Win32C.h declares the C entry points with davro::win32's types
// in C++. They live in namespace davro::win32::c, with C linkage: their symbols are the
// plain Win32 names.
#include <davro/platform/Win32.h>
#include <davro/platform/Win32C.h>

#include <cstring>
#include <cwctype>
#include <string>

namespace davro::win32::c {

#define DAVRO_WIN32_C_DEFINE(result, name, parameters, arguments) \
    result name parameters { return davro::win32::name arguments; }

DAVRO_WIN32_C_FUNCTIONS(DAVRO_WIN32_C_DEFINE)

#undef DAVRO_WIN32_C_DEFINE

}  // namespace davro::win32::c

namespace davro::win32::detail {
namespace {

// What GetModuleHandleW(NULL) answers: the classic base address of a Windows program.
constexpr std::uintptr_t kProgramModule = 0x400000;
// The module of the layer itself: the system DLLs whose functions it provides.
constexpr std::uintptr_t kLayerModule = 0x180000000;

// Whether a module name names the layer: kernel32, kernelbase, user32 or advapi32, with or
// without ".dll", in any case (Windows compares module names without case).
bool namesLayer(std::string name) {
    for (char& ch : name) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    const std::size_t n = name.size();
    if (n > 4 && name.compare(n - 4, 4, ".dll") == 0) {
        name.resize(n - 4);
    }
    return name == "kernel32" || name == "kernelbase" || name == "user32" || name == "advapi32";
}

HMODULE moduleNamed(const std::string& name) {
    if (!namesLayer(name)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(kLayerModule);  // NOLINT(performance-no-int-to-ptr)
}

struct Export {
    const char* name;
    FARPROC function;
};

// Through void (*)(), the type of "any function" that a cast may pass through unwarned; the
// caller casts FARPROC back to the function's own type, as on Windows.
using AnyFunction = void (*)();
#define DAVRO_WIN32_C_EXPORT(result, name, parameters, arguments) \
    Export{#name, reinterpret_cast<FARPROC>(reinterpret_cast<AnyFunction>(&c::name))},

// Every C entry point of the layer, as GetProcAddress finds it.
const Export kExports[] = {DAVRO_WIN32_C_FUNCTIONS(DAVRO_WIN32_C_EXPORT)};

#undef DAVRO_WIN32_C_EXPORT

}  // namespace
}  // namespace davro::win32::detail

namespace davro::win32 {

using namespace detail;

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName == nullptr) {
        return reinterpret_cast<HMODULE>(kProgramModule);  // NOLINT(performance-no-int-to-ptr)
    }
    std::string name;
    for (const wchar_t* p = moduleName; *p != L'\0'; ++p) {
        name += *p < 0x80 ? static_cast<char>(*p) : '?';  // module names here are ASCII
    }
    return moduleNamed(name);
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr) {
        return reinterpret_cast<HMODULE>(kProgramModule);  // NOLINT(performance-no-int-to-ptr)
    }
    return moduleNamed(moduleName);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    const auto m = reinterpret_cast<std::uintptr_t>(module);
    if (m != kLayerModule && m != kProgramModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A value below 0x10000 is an ordinal; the layer exports nothing by ordinal, and the
    // program nothing at all.
    if (m == kLayerModule && reinterpret_cast<std::uintptr_t>(procName) >= 0x10000) {
        for (const Export& e : kExports) {
            if (std::strcmp(e.name, procName) == 0) {
                return e.function;
            }
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

}  // namespace davro::win32
