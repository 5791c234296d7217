// The configuration reader: any text parses; a value written reads back
// unchanged and leaves the other sections as they were; integers parse only
// from what they mean.
#include "base/uIniFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace logserver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The text after the last line break doubles as a value to write.
  const std::size_t cut = input.rfind('\n');
  const std::string value = cut == std::string::npos ? input : input.substr(cut + 1);

  TIniDocument document(input);
  const auto providers = document.ReadSection("Providers");
  document.WriteString("Common", "BaseCatalog", value);
  const TIniDocument reread(document.Text());
  if (reread.ReadString("Common", "BaseCatalog", "<none>") != value) std::abort();
  if (reread.ReadSection("Providers") != providers) std::abort();

  std::int32_t parsed = 0;
  if (ParseConfigInteger(value, parsed)) {
    const std::size_t digits = (value[0] == '+' || value[0] == '-') ? 1 : 0;
    if (value.size() <= digits || value.find_first_not_of("0123456789", digits) != std::string::npos)
      std::abort();
    if (std::strtoll(value.c_str(), nullptr, 10) != parsed) std::abort();
  }
  return 0;
}
