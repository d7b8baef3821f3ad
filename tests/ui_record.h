// The tests' stand-in for the window: what the engine showed, in order.
#pragma once

#include <string>
#include <vector>

struct ui_record {
    std::vector<std::string> statuses;
    std::vector<std::string> boxes; // caption, a newline, then the text
    std::vector<unsigned> beeps;    // frequencies in Hz
};

extern ui_record shown;
