// Placeholders in the facility's texts: a name between two "%" characters
// stands for a built-in variable (the module paths, the clock, special
// folders by CSIDL_ or FOLDERID_ name) or an environment variable.
#pragma once

#include <functional>
#include <string>

#include "platform/system_facts.h"

namespace zelvic::diag {

// A variable's value by name; empty for an unknown name.
using TGetEnvVariableFunc = std::wstring (*)(const std::wstring& name);
using TGetEnvVariableMethod = std::function<std::wstring(const std::wstring& name)>;

// Every placeholder of `text` replaced by what `lookup` answers for its
// name; an inserted value is never expanded again. "%%" is the placeholder
// with the empty name; a "%" without a closing one stays. A missing lookup
// is an assertion failure.
std::wstring ExpandEnvVarsEx(const std::wstring& text, const TGetEnvVariableMethod& lookup);
// The same with a plain lookup function; none selects GetEnvVariableDefault.
std::wstring ExpandEnvVars(const std::wstring& text, TGetEnvVariableFunc lookup = nullptr);

// The built-in variable, else the process environment's.
std::wstring GetEnvVariableDefault(const std::wstring& name,
                                   platform::TSystemFacts& facts = platform::LiveSystemFacts());
// The built-in variables, names compared without regard to case; empty for
// any other name.
std::wstring GetSystemVariable(const std::wstring& name, platform::TSystemFacts& facts = platform::LiveSystemFacts());

}  // namespace zelvic::diag
