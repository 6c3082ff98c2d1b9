#include "manifests/packaged_track.h"

#include <algorithm>
#include <cstdio>

namespace morvex {

uint64_t milliseconds(uint64_t ticks, uint32_t timescale) {
    const unsigned __int128 ts = timescale ? timescale : 1;
    return uint64_t((unsigned __int128)ticks * 1000 / ts + (((unsigned __int128)ticks * 1000 % ts) * 2 >= ts ? 1 : 0));
}

std::string seconds_text(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", (unsigned long long)(ms / 1000), (unsigned long long)(ms % 1000));
    return text;
}

uint64_t target_duration(const PackagedTrack& t) {
    uint64_t most = 1;
    for (const auto& s : t.segments) most = std::max(most, (milliseconds(s.duration, t.timescale) + 500) / 1000);
    return most;
}

namespace {

// Bits a second of `bytes` over `ticks`, rounded up.
uint64_t rate(uint64_t bytes, uint64_t ticks, uint32_t timescale) {
    if (ticks == 0) return 0;
    const unsigned __int128 bits = (unsigned __int128)bytes * 8 * (timescale ? timescale : 1);
    return uint64_t((bits + ticks - 1) / ticks);
}

// Runs of more segments than this are not looked at (segments that last
// nothing would make any run short enough), so the work stays linear.
constexpr size_t kLongestRun = 1024;

}  // namespace

uint64_t peak_bit_rate(const PackagedTrack& t) {
    const uint64_t target = target_duration(t) * (t.timescale ? t.timescale : 1);
    uint64_t peak = 0;
    bool found = false;
    for (size_t a = 0; a < t.segments.size(); ++a) {
        uint64_t bytes = 0, ticks = 0;
        for (size_t b = a; b < t.segments.size() && b - a < kLongestRun; ++b) {
            bytes += t.segments[b].size;
            ticks += t.segments[b].duration;
            if (2 * ticks > 3 * target) break;
            if (2 * ticks >= target) {
                peak = std::max(peak, rate(bytes, ticks, t.timescale));
                found = true;
            }
        }
    }
    return found ? peak : average_bit_rate(t);
}

uint64_t average_bit_rate(const PackagedTrack& t) {
    uint64_t bytes = 0, ticks = 0;
    for (const auto& s : t.segments) {
        bytes += s.size;
        ticks += s.duration;
    }
    return rate(bytes, ticks, t.timescale);
}

std::string safe_codec_string(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_' || c == '+';
        if (!ok) c = '_';
    }
    return out;
}

std::string safe_language(const std::string& s) {
    for (char c : s)
        if (c < 'a' || c > 'z') return {};
    return s;
}

}  // namespace morvex
