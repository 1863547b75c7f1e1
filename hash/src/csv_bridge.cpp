// CSV through libvorncsv. The library is loaded when ours is and released when ours is unloaded;
// each call finds it again by name among the loaded objects, so that it works whoever loaded it
// (us, the program, or a test) and fails cleanly when nobody did.
#include "vornhash.h"
#include "vorncsv.h"
#include "vorn_internal.hpp"

#include <dlfcn.h>

#include <climits>
#include <cstring>

// The CSV functions are called through pointers from dlsym. Clang's function-type check on such
// calls needs the C++ part of the sanitizer runtime, which a C program linking us does not bring;
// the pointers' types come from the library's own header anyway.
#if defined(__clang__)
#define VORN_FOREIGN_CALLS __attribute__((no_sanitize("function")))
#else
#define VORN_FOREIGN_CALLS
#endif

namespace vorn {

namespace {

constexpr const char *kCsvLibrary = "libvorncsv.so.1";

void *g_csvHandle = nullptr; // our own reference, taken at load

// Opens the CSV library beside the object this code was linked into (a program or our own
// shared library); null when that cannot be told or the library is not there.
void *open_beside_us() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&open_beside_us), &info) || !info.dli_fname)
        return nullptr;
    const char *slash = std::strrchr(info.dli_fname, '/');
    if (!slash) return nullptr;
    char path[PATH_MAX];
    const std::size_t dir = static_cast<std::size_t>(slash - info.dli_fname) + 1;
    if (dir + std::strlen(kCsvLibrary) + 1 > sizeof path) return nullptr;
    std::memcpy(path, info.dli_fname, dir);
    std::memcpy(path + dir, kCsvLibrary, std::strlen(kCsvLibrary) + 1);
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

// One call's view of the CSV library: a reference taken by name and released at the end.
class CsvLibrary {
  public:
    CsvLibrary() : handle_(dlopen(kCsvLibrary, RTLD_NOLOAD | RTLD_LAZY)) {}
    ~CsvLibrary() {
        if (handle_) dlclose(handle_);
    }
    CsvLibrary(const CsvLibrary &) = delete;
    CsvLibrary &operator=(const CsvLibrary &) = delete;

    template <class Fn> Fn *get(const char *name) const {
        return handle_ ? reinterpret_cast<Fn *>(dlsym(handle_, name)) : nullptr;
    }

  private:
    void *handle_;
};

} // namespace

// Takes our reference to the CSV library. The plain name finds it through the run path of the
// shared library ($ORIGIN, beside it) and the usual search; a program that links us statically
// may ship it beside itself instead. A missing library is not an error. Also used by the tests.
bool csv_library_load() {
    if (g_csvHandle) return true;
    g_csvHandle = dlopen(kCsvLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!g_csvHandle) g_csvHandle = open_beside_us();
    return g_csvHandle != nullptr;
}

// Drops our reference; the library leaves the process when nobody else holds one.
void csv_library_release() {
    if (g_csvHandle) dlclose(g_csvHandle);
    g_csvHandle = nullptr;
}

namespace {
__attribute__((constructor)) void on_load() {
    csv_library_load();
}
__attribute__((destructor)) void on_unload() {
    csv_library_release();
}
} // namespace

} // namespace vorn

extern "C" {

VORN_API VORN_FOREIGN_CALLS int32_t VornHashToCsv(char *out, int32_t size, const Hash *hash) {
    if (!out || !hash || size < 1 || hash->count < 0) return 0;
    // out holds the text to write into; without its terminator inside the buffer we would read
    // past it below.
    const std::size_t len = strnlen(out, static_cast<std::size_t>(size));
    if (len == static_cast<std::size_t>(size)) return 0;
    if (hash->count > 0 && !(hash->keys && hash->values && hash->sizes)) return 0;
    const vorn::CsvLibrary csv;
    auto *set = csv.get<decltype(VornSetCsv)>("VornSetCsv");
    if (!set) return 0;
    for (int32_t i = 0; i < hash->count; ++i) {
        if (!set(out, size, hash->keys[i], i, 0)) break;
        // A value filled to the brim through VornGetHashPtr has no terminator: it goes through
        // a terminated copy.
        const char *value = hash->values[i];
        const std::size_t vlen = strnlen(value, static_cast<std::size_t>(hash->sizes[i]));
        vorn::MemPtr<char> copy;
        if (vlen == static_cast<std::size_t>(hash->sizes[i])) {
            copy = vorn::mem_text(vlen + 1);
            if (!copy) break;
            std::memcpy(copy.get(), value, vlen);
            value = copy.get();
        }
        if (!set(out, size, value, i, 1)) break;
    }
    return static_cast<int32_t>(std::strlen(out));
}

VORN_API VORN_FOREIGN_CALLS int32_t VornCsvToHash(Hash *hash, const char *csv) {
    if (!hash || !csv) return 0;
    const vorn::CsvLibrary library;
    auto *get = library.get<decltype(VornGetCsv)>("VornGetCsv");
    auto *count = library.get<decltype(VornCountCsv)>("VornCountCsv");
    if (!get || !count) return 0;
    const int32_t rows = count(csv, VORNCSV_COUNT_ROWS);
    if (rows < 0) return 0;
    // No field is longer than the text, so buffers of its size hold every one whole.
    const std::size_t len = std::strlen(csv);
    if (len >= static_cast<std::size_t>(INT32_MAX)) return 0;
    const auto bufferSize = static_cast<int32_t>(len + 1);
    vorn::MemPtr<char> name = vorn::mem_text(len + 1);
    vorn::MemPtr<char> value = vorn::mem_text(len + 1);
    if (!name || !value) return 0;
    if (!VornReAllocHash(hash, 0)) return 0;
    for (int32_t i = 0; i < rows; ++i) {
        get(name.get(), bufferSize, csv, i, 0);
        int32_t n = get(value.get(), bufferSize, csv, i, 1);
        if (n < 0 || n >= bufferSize) n = static_cast<int32_t>(std::strlen(value.get()));
        // An unnamed row is appended like any other row rather than written over cell 0.
        const int32_t ok = name.get()[0] ? VornSetHash(hash, name.get(), 0, value.get(), n + 1)
                                         : VornSetHash(hash, nullptr, -1, value.get(), n + 1);
        if (!ok) return 0;
    }
    return 1;
}

} // extern "C"
