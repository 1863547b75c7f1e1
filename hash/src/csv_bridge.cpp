// CSV through libvorncsv. The library is loaded when ours is and released when ours is unloaded;
// each call finds it again by name among the loaded objects, so that it works whoever loaded it
// (us, the program, or a test) and fails cleanly when nobody did.
#include "vornhash.h"
#include "vorncsv.h"
#include "vorn_internal.hpp"

#include <dlfcn.h>

#include <cstring>
#include <string>

namespace vorn {

namespace {

constexpr const char *kCsvLibrary = "libvorncsv.so.1";

void *g_csvHandle = nullptr; // our own reference, taken at load

// The directory of the object this code was linked into, with its final slash; empty when it
// cannot be told.
std::string own_directory() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&own_directory), &info) || !info.dli_fname) return {};
    const std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
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
    if (!g_csvHandle) {
        const std::string dir = own_directory();
        if (!dir.empty()) g_csvHandle = dlopen((dir + kCsvLibrary).c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    return g_csvHandle != nullptr;
}

// Drops our reference; the library leaves the process when nobody else holds one.
void csv_library_release() {
    if (g_csvHandle) dlclose(g_csvHandle);
    g_csvHandle = nullptr;
}

namespace {
__attribute__((constructor)) void on_load() { csv_library_load(); }
__attribute__((destructor)) void on_unload() { csv_library_release(); }
} // namespace

} // namespace vorn

extern "C" {

VORN_API int32_t VornHashToCsv(char *out, int32_t size, const Hash *hash) {
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

VORN_API int32_t VornCsvToHash(Hash *hash, const char *csv) {
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
