// What this build is: the version a release gave it, the name of the image it carries, and,
// where there are no Windows resources, the image itself.
#pragma once

#include <cstdint>

extern const char ABOUT_VERSION[];
extern const char ABOUT_IMAGE_NAME[];

extern const unsigned char vek_image[];
extern const uint32_t vek_image_length;
