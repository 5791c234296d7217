#include "platform/uLibrary.h"

#include <dlfcn.h>

namespace logserver {

bool TSharedLibrary::Open(const std::string& path) {
  Close();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = why ? why : "cannot be loaded";
    return false;
  }
  error_.clear();
  return true;
}

void* TSharedLibrary::Symbol(const std::string& name) const {
  return handle_ ? dlsym(handle_, name.c_str()) : nullptr;
}

void TSharedLibrary::Close() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace logserver
