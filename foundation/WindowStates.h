// Names of the three window states.
#pragma once

#include <array>
#include <string>

inline const std::array<std::string, 3> WindowStateNames = {"normal", "minimized", "maximized"};
