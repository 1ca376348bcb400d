// What the kernel dispatch believes of an x86 processor must be what the operating system
// reports in /proc/cpuinfo's flags. Elsewhere no probe is built and every answer must be no
// (under qemu-user, /proc/cpuinfo is the host's).
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/cpu.hpp"

int main() {
    std::set<std::string> flags;
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) flags.insert(w);
        break;
    }
#ifdef SI_X86
    const bool x86 = true;
#else
    const bool x86 = false;
#endif
    using si::cpu::Feature;
    const struct {
        const char* name;
        Feature feature;
    } features[] = {{"sse2", Feature::SSE2}, {"ssse3", Feature::SSSE3}, {"sse4_1", Feature::SSE41},
                    {"avx2", Feature::AVX2}, {"bmi2", Feature::BMI2},   {"pclmulqdq", Feature::PCLMUL}};
    int failures = 0;
    for (const auto& f : features) {
        bool probed = si::cpu::has(f.feature), reported = x86 && flags.count(f.name) > 0;
        std::printf("%-10s probed %d, reported %d\n", f.name, probed, reported);
        failures += probed != reported;
    }
    std::printf("failures: %d\n", failures);
    return failures != 0;
}
