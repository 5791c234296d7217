#include "core/uServiceConfig.h"

#include "platform/uFiles.h"

#include <cerrno>
#include <system_error>

namespace logserver {

namespace {

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace

TServiceConfig ReadServiceConfig(const std::string& configPath,
                                 const std::string& executableDirectory) {
  std::string text;
  bool exists = false;
  if (!ReadFileText(configPath, text, exists))
    throw EConfigError("cannot read " + configPath + ": " + ErrorText(errno));
  TIniDocument document(text);
  const std::string section = "Common";
  TServiceConfig config;

  auto readInteger = [&](const char* key, std::int32_t defaultValue) {
    bool found = false;
    const std::string value = document.ReadString(section, key, std::string(), &found);
    std::int32_t parsed = 0;
    return found && ParseConfigInteger(value, parsed) ? parsed : defaultValue;
  };
  // The port keys keep the low 16 bits: 70000 becomes 4464.
  config.ServicePort = static_cast<std::uint16_t>(readInteger("ServicePort", config.ServicePort));
  config.SysLogPort = static_cast<std::uint16_t>(readInteger("SysLogPort", config.SysLogPort));
  config.RunMode = readInteger("RunMode", config.RunMode);
  config.LogMode = readInteger("LogMode", config.LogMode);
  config.BaseCatalog = document.ReadString(section, "BaseCatalog", executableDirectory + "Logs/");
  {
    bool found = false;
    const std::string value = document.ReadString(section, "ModuleNameAsFilePrefix", "", &found);
    config.ModuleNameAsFilePrefix = (!found || value.empty()) ? true : value[0] == '1';
  }
  config.TimePlacementMask =
      document.ReadString(section, "TimePlacementMask", config.TimePlacementMask);
  config.Providers = document.ReadSection("Providers");

  // The file always holds the values in effect; SysLogPort is not written.
  // It is replaced in one step, and only when its bytes change, so that a
  // failed write or a signal never leaves it cut short, and an unchanged
  // configuration (a package's conffile) is never touched.
  document.WriteString(section, "ServicePort", std::to_string(config.ServicePort));
  document.WriteString(section, "RunMode", std::to_string(config.RunMode));
  document.WriteString(section, "LogMode", std::to_string(config.LogMode));
  document.WriteString(section, "BaseCatalog", config.BaseCatalog);
  document.WriteString(section, "ModuleNameAsFilePrefix", config.ModuleNameAsFilePrefix ? "1" : "0");
  document.WriteString(section, "TimePlacementMask", config.TimePlacementMask);
  const std::string updated = document.Text();
  if ((!exists || updated != text) && !ReplaceFileAtomically(configPath, updated))
    throw EConfigError("cannot write " + configPath + ": " + ErrorText(errno));
  return config;
}

}  // namespace logserver
