// The tests' stand-in for the window: the status texts the engine showed, in order.
#pragma once

#include <string>
#include <vector>

struct ui_record {
    std::vector<std::string> statuses;
};

extern ui_record shown;
