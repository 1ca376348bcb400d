// Writes the seed corpus of the inflate fuzz target: zlib-made streams at every level, strategy,
// memory level and window size, with stored blocks of 0 and 65535 bytes, and hand-made fixed
// and dynamic blocks, among them dynamic blocks with one distance code and with none.
//
//   c++ -std=c++20 -Isrc fuzz/inflate_seeds.cpp -lz -o seeds && ./seeds OUTDIR
#include <cstdio>
#include <string>

#include "kernels/streams.hpp"

using namespace streams;

namespace {

int written = 0;

void save(const std::string& dir, const Bytes& s) {
    std::string path = dir + "/seed-" + std::to_string(written++);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(s.data(), 1, s.size(), f) != s.size()) std::exit(1);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string dir = argv[1];
    std::mt19937 rng(1950);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (int level = 0; level <= 9; ++level)
        for (int strategy : strategies) {
            Params p;
            p.level = level;
            p.strategy = strategy;
            p.memLevel = 1 + (level + strategy) % 9;
            p.windowBits = 9 + (level + 2 * strategy) % 7;
            save(dir, deflateWith(makeData(rng, 2000 + rng() % 3000), p));
        }
    for (int memLevel = 1; memLevel <= 9; ++memLevel)
        for (int windowBits = 9; windowBits <= 15; ++windowBits) {
            Params p;
            p.memLevel = memLevel;
            p.windowBits = windowBits;
            p.flushEvery = 700;
            p.flush = windowBits % 2 ? Z_FULL_FLUSH : Z_SYNC_FLUSH;  // empty stored blocks between
            save(dir, deflateWith(makeData(rng, 4000), p));
        }
    Params stored;
    stored.level = 0;
    save(dir, deflateWith(makeData(rng, 65535 + 1000), stored));  // a full 65535-byte block
    save(dir, deflateWith({}, stored));

    const std::vector<uint8_t> fixedDist(32, 5);
    BitWriter fixed;
    fixedBlock(fixed, true, {literal('a'), literal('b'), match(258, 2), match(3, 1), endOfBlock()});
    save(dir, wrap(fixed));
    std::vector<uint8_t> lit(286, 0);
    lit['x'] = lit['y'] = 2;
    lit[256] = 2;
    lit[285] = 2;
    for (int distCodes = 0; distCodes <= 2; ++distCodes) {
        std::vector<uint8_t> dist(30, 0);
        if (distCodes == 1) dist[0] = 1;
        if (distCodes == 2) dist[0] = dist[29] = 1;
        std::vector<Token> tokens = {literal('x'), literal('y')};
        if (distCodes) tokens.push_back(match(258, 1));
        tokens.push_back(endOfBlock());
        BitWriter w;
        dynamicBlock(w, true, lit, dist, tokens);
        save(dir, wrap(w));
    }
    std::printf("%d seeds\n", written);
}
