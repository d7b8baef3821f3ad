// The firmware image built into the executable where there are no Windows resources.
#pragma once

#include <cstdint>

extern const unsigned char vek_image[];
extern const uint32_t vek_image_length;
