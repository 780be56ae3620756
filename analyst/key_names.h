// Keys by name for the console's key commands: "Escape", "F5", "ctrl+c", "ctrl+alt+Delete".
#pragma once

#include <string>
#include <vector>

namespace vtx::analyst {

// The virtual-key codes of a key or a "+"-joined combination, modifiers first, in the order to
// press them. Names are matched without regard to case; a single letter or digit is that key;
// a number of two or three digits from 10 to 254 is a code. Throws std::invalid_argument naming
// what is unknown.
std::vector<int> ParseKeys(const std::string& combo);

}  // namespace vtx::analyst
