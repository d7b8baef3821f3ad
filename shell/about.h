// What this build is: the version a release gave it and the name of the image it carries.
#pragma once

extern const char ABOUT_VERSION[];
extern const char ABOUT_IMAGE_NAME[];
