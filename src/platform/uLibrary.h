// Shared libraries loaded at run time (dlopen with RTLD_NOW | RTLD_LOCAL).
// One object owns one handle and closes it when destroyed. Not thread-safe;
// the symbols it hands out stay valid while the object lives.
#pragma once

#include <string>

namespace logserver {

class TSharedLibrary {
 public:
  TSharedLibrary() = default;
  ~TSharedLibrary() { Close(); }
  TSharedLibrary(const TSharedLibrary&) = delete;
  TSharedLibrary& operator=(const TSharedLibrary&) = delete;

  // Loads `path`; false with Error() telling why.
  bool Open(const std::string& path);
  // The address of an exported symbol, or nullptr.
  void* Symbol(const std::string& name) const;
  void Close();
  bool IsOpen() const { return Handle != nullptr; }
  const std::string& Error() const { return Error_; }

 private:
  void* Handle = nullptr;
  std::string Error_;
};

}  // namespace logserver
