// Names for the host's screen settings that are lists of choices: colour depth ("color":
// 8bit ... 32bit), reduced colours ("colorlow": off, 6bit ... high21bit) and frame rate
// ("frame": max, 50fps ... 1fps, sleep10ms ... sleep500ms).
#pragma once

#include <string>
#include <vector>

namespace vtx::analyst {

// The choices of `setting` in the order of their numbers; empty when it has no names.
const std::vector<std::string>& SettingChoices(const std::string& setting);
// The number of `value` (a choice, in any case, or the number itself); throws
// std::invalid_argument naming the choices when it is none of them.
int SettingIndex(const std::string& setting, const std::string& value);
// The choice of number `index`; empty when out of range or the setting has no names.
std::string SettingName(const std::string& setting, int index);

}  // namespace vtx::analyst
