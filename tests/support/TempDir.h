// Test helpers: a temporary directory removed with its contents, file
// reading, and waiting for a condition with a deadline.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  // Absolute path ending with "/".
  const std::string& Path() const { return Path_; }

 private:
  std::string Path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);

// Regular files below `root`, sorted by path.
std::vector<std::string> FilesBelow(const std::string& root);

// Polls `condition` until it holds or `timeoutMs` has passed; true when it held.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

// Splits at CR LF; a trailing incomplete line is kept as it is.
std::vector<std::string> SplitCrLf(const std::string& text);

}  // namespace testing_support
