# The firmware image is chosen with the cache variable VEK_IMAGE. A missing, empty or too large
# image stops the configure step; a change of the file re-runs it. Its size goes to size_var.
#
# The largest image accepted: 16 MiB. The wire would allow more (the range-CRC request carries
# a 32-bit length, so 0x81000 + length must stay within 4 GiB: at most 0xFFF7F000 bytes), the
# tool less than that (it keeps the length as an int: at most 2^31 - 1). What binds is
# practice: at the measured 111.5 ms per 512-byte block a 16 MiB image already takes an hour to
# program, and the build turns the image into a C++ array or a resource whole, which grows
# with every byte (a release of a 16 MiB image: 88 s and 2.5 GB of memory on a 2-core
# machine). scripts/release.sh reads this value.
set(VEK_IMAGE_SIZE_MAX 16777216)

function(vek_check_image image size_var)
    if(NOT EXISTS "${image}")
        message(FATAL_ERROR "Firmware image not found: ${image} (set VEK_IMAGE to the image file)")
    endif()
    file(SIZE "${image}" size)
    if(size EQUAL 0)
        message(FATAL_ERROR "Firmware image is empty: ${image}")
    endif()
    if(size GREATER VEK_IMAGE_SIZE_MAX)
        message(FATAL_ERROR "Firmware image is larger than ${VEK_IMAGE_SIZE_MAX} bytes: ${image}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${image}")
    set(${size_var} ${size} PARENT_SCOPE)
endfunction()

# Turns the firmware image into a C++ source with one array, for builds without Windows
# resources.
function(vek_embed_image image out)
    vek_check_image("${image}" size)
    file(READ "${image}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
    file(WRITE "${out}.tmp"
        "// Generated from ${image}; do not edit.\n"
        "#include \"run/about.h\"\n"
        "const unsigned char vek_image[] = {\n${bytes}};\n"
        "const uint32_t vek_image_length = ${size};\n")
    file(COPY_FILE "${out}.tmp" "${out}" ONLY_IF_DIFFERENT)
endfunction()

# The build's version and the image's file name, byte for byte whatever the name holds, as a
# C++ source for --version, the console log and the report of each run.
function(vek_about image version out)
    get_filename_component(name "${image}" NAME)
    string(HEX "${name}" hex)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
    file(WRITE "${out}.tmp"
        "// Generated; do not edit.\n"
        "#include \"run/about.h\"\n"
        "const char ABOUT_VERSION[] = \"${version}\";\n"
        "const char ABOUT_IMAGE_NAME[] = \"${escaped}\";\n")
    file(COPY_FILE "${out}.tmp" "${out}" ONLY_IF_DIFFERENT)
endfunction()
