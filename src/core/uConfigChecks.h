// Checks of a configuration beyond its values: the name a misspelt one
// most likely meant, and whether the files and directories it names can be
// used as the service would use them (read only; nothing is made).
#pragma once

#include "core/uServiceConfig.h"

#include <functional>
#include <string>
#include <vector>

namespace logserver {

// The known name a misspelt one most likely meant: within two edits (one
// for short names), any case; empty when none is that close.
std::string ClosestName(const std::string& name, const std::vector<std::string>& known);

// Each file or directory of `config` that cannot be used is one call of
// `problem` with the key that names it and the words of the problem.
using TNamedFileProblem = std::function<void(const char* section, const char* key, const std::string& text)>;
void CheckNamedFiles(const TServiceConfig& config, const TNamedFileProblem& problem);

}  // namespace logserver
