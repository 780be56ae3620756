#include "analyst/setting_names.h"

#include <cctype>
#include <stdexcept>

namespace vtx::analyst {

const std::vector<std::string>& SettingChoices(const std::string& setting) {
  static const std::vector<std::string> color = {"8bit",  "16bit", "4bit",  "6bit",  "9bit",
                                                 "12bit", "15bit", "18bit", "21bit", "32bit"};
  static const std::vector<std::string> colorLow = {
      "off",      "6bit",     "9bit",      "12bit",     "15bit",     "18bit",    "21bit",
      "high6bit", "high9bit", "high12bit", "high15bit", "high18bit", "high21bit"};
  static const std::vector<std::string> frame = {
      "max",        "50fps",      "40fps",     "25fps",     "20fps",      "10fps",
      "8fps",       "5fps",       "4fps",      "2fps",      "1fps",       "sleep10ms",
      "sleep20ms",  "sleep40ms",  "sleep50ms", "sleep80ms", "sleep100ms", "sleep200ms",
      "sleep250ms", "sleep400ms", "sleep500ms"};
  static const std::vector<std::string> none;
  if (setting == "color") return color;
  if (setting == "colorlow") return colorLow;
  if (setting == "frame") return frame;
  return none;
}

int SettingIndex(const std::string& setting, const std::string& value) {
  const auto& choices = SettingChoices(setting);
  std::string lower;
  for (char c : value) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (std::size_t i = 0; i < choices.size(); ++i)
    if (choices[i] == lower) return static_cast<int>(i);
  if (!value.empty() && value.size() <= 3 &&
      value.find_first_not_of("0123456789") == std::string::npos) {
    const int n = std::stoi(value);
    if (n < static_cast<int>(choices.size())) return n;
  }
  std::string list;
  for (const std::string& c : choices) list += (list.empty() ? "" : " ") + c;
  throw std::invalid_argument(setting + ": \"" + value + "\" is none of " + list +
                              " (or their numbers 0.." + std::to_string(choices.size() - 1) + ")");
}

std::string SettingName(const std::string& setting, int index) {
  const auto& choices = SettingChoices(setting);
  if (index < 0 || index >= static_cast<int>(choices.size())) return {};
  return choices[static_cast<std::size_t>(index)];
}

}  // namespace vtx::analyst
