#include "platform/uLibrary.h"

#include <dlfcn.h>

namespace logserver {

bool TSharedLibrary::Open(const std::string& path) {
  Close();
  Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (Handle == nullptr) {
    const char* why = dlerror();
    Error_ = why ? why : "cannot be loaded";
    return false;
  }
  Error_.clear();
  return true;
}

void* TSharedLibrary::Symbol(const std::string& name) const {
  return Handle ? dlsym(Handle, name.c_str()) : nullptr;
}

void TSharedLibrary::Close() {
  // A failed dlclose leaves the library loaded, which costs memory only:
  // the handle is dropped either way.
  if (Handle && dlclose(Handle) != 0) Error_ = "dlclose failed";
  Handle = nullptr;
}

}  // namespace logserver
