#include "analyst/key_names.h"

#include <cctype>
#include <stdexcept>

namespace vtx::analyst {
namespace {

struct Named {
  const char* name;
  int vk;
};

const Named kKeys[] = {
    {"backspace", 0x08}, {"tab", 0x09},         {"enter", 0x0D},    {"return", 0x0D},
    {"shift", 0x10},     {"ctrl", 0x11},        {"control", 0x11},  {"alt", 0x12},
    {"pause", 0x13},     {"capslock", 0x14},    {"escape", 0x1B},   {"esc", 0x1B},
    {"space", 0x20},     {"pageup", 0x21},      {"pagedown", 0x22}, {"end", 0x23},
    {"home", 0x24},      {"left", 0x25},        {"up", 0x26},       {"right", 0x27},
    {"down", 0x28},      {"printscreen", 0x2C}, {"insert", 0x2D},   {"delete", 0x2E},
    {"del", 0x2E},       {"win", 0x5B},         {"super", 0x5B},    {"menu", 0x5D},
    {"numlock", 0x90},   {"scrolllock", 0x91},
};

constexpr int kPlus = 0xBB;

bool isModifier(int vk) {
  return vk == 0x10 || vk == 0x11 || vk == 0x12 || vk == 0x5B;
}

int keyCode(const std::string& word) {
  if (word.empty()) throw std::invalid_argument("an empty key name");
  std::string lower;
  for (char c : word) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.size() == 1 && std::isalnum(static_cast<unsigned char>(lower[0])))
    return std::toupper(static_cast<unsigned char>(lower[0]));
  for (const Named& k : kKeys)
    if (lower == k.name) return k.vk;
  if (lower[0] == 'f' && lower.size() <= 3 &&
      lower.find_first_not_of("0123456789", 1) == std::string::npos) {
    const int n = std::stoi(lower.substr(1));
    if (n >= 1 && n <= 24) return 0x6F + n;
  }
  if (word.find_first_not_of("0123456789") == std::string::npos && word.size() <= 3 &&
      word[0] != '0') {
    const int n = std::stoi(word);
    if (n >= 1 && n <= 254) return n;
  }
  throw std::invalid_argument("unknown key \"" + word + "\"");
}

}  // namespace

std::vector<int> ParseKeys(const std::string& combo) {
  if (combo == "+") return {kPlus};
  // A trailing "++" is the plus key after the modifiers.
  std::string rest = combo;
  const bool plus = rest.size() > 2 && rest.compare(rest.size() - 2, 2, "++") == 0;
  if (plus) rest.resize(rest.size() - 2);
  std::vector<int> keys;
  for (std::size_t at = 0;;) {
    const std::size_t sep = rest.find('+', at);
    keys.push_back(keyCode(rest.substr(at, sep == std::string::npos ? sep : sep - at)));
    if (sep == std::string::npos) break;
    at = sep + 1;
  }
  if (plus) keys.push_back(kPlus);
  for (std::size_t i = 0; i + 1 < keys.size(); ++i)
    if (!isModifier(keys[i]))
      throw std::invalid_argument(
          "\"" + combo + "\": only the last key may be other than ctrl, alt, shift or win");
  return keys;
}

}  // namespace vtx::analyst
