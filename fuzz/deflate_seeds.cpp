// Writes the deflate fuzz target's seeds: the table of hard cases as raw-data inputs (a leading
// 0 byte), each cut to the target's maximum input length.
#include <cstdio>
#include <string>

#include "kernels/deflate_cases.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR MAX_LEN\n", argv[0]);
        return 2;
    }
    const size_t maxLen = std::stoul(argv[2]);
    int n = 0;
    for (const auto& c : deflate_cases::hardCases()) {
        const std::string path = std::string(argv[1]) + "/case-" + std::to_string(n++);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return 1;
        const size_t len = c.data.size() + 1 > maxLen ? maxLen - 1 : c.data.size();
        std::fputc(0, f);
        std::fwrite(c.data.data(), 1, len, f);
        std::fclose(f);
    }
    return 0;
}
