// vek-image-crc IMAGE: prints the image's size in bytes and its CRC-16 as the tool computes it
// before comparing with the target's range CRC, so a release can state the figures the target
// will report after programming. Prints "SIZE 0xCRC" (CRC in four hex digits).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "modbus/wire.h"

int main(int argc, char **argv)
{
    static const char usage[] = "usage: vek-image-crc IMAGE\n"
                                "Prints the image's size in bytes and its CRC-16 as the target "
                                "reports it after programming: \"SIZE 0xCRC\".\n";
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "vek-image-crc: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<char> image{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    if (in.bad() || image.size() > std::numeric_limits<int>::max()) {
        std::fprintf(stderr, "vek-image-crc: cannot read %s whole\n", argv[1]);
        return 1;
    }
    std::printf("%zu 0x%04x\n", image.size(),
                crc_region(image.data(), static_cast<int>(image.size())));
    return 0;
}
