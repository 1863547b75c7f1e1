#include "common/text_rendering.hpp"

#include <dlfcn.h>

namespace tarvotcpc::ui {

namespace {

// FreeType's FT_Library, FT_Bool and FT_Property_Set, without its headers: the library is the
// one Qt has loaded already.
using FtLibrary = void *;
using FtBool = unsigned char;
using PropertySet = int (*)(FtLibrary, const char *, const char *, const void *);
// Qt's FreeType library of the calling thread: exported by QtGui, though in no public header.
using QtFreetype = FtLibrary (*)();

template <typename F> F Find(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

} // namespace

void UseUndarkenedCffText() {
    const auto library = Find<QtFreetype>("_Z14qt_getFreetypev");
    const auto set = Find<PropertySet>("FT_Property_Set");
    if (library == nullptr || set == nullptr) return;
    const FtBool noDarkening = 1;
    set(library(), "cff", "no-stem-darkening", &noDarkening);
}

} // namespace tarvotcpc::ui
