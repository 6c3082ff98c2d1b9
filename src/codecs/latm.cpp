#include "codecs/latm.h"

#include <algorithm>

#include "codecs/aac.h"
#include "codecs/bit_reader.h"

namespace morvex::latm {
namespace {

size_t position(const BitReader& r) { return r.byte_pos * 8 + r.bit_pos; }

bool skip(BitReader& r, size_t n) {
    while (n > 0) {
        const unsigned step = unsigned(std::min<size_t>(n, 32));
        if (!r.bits(step)) return false;
        n -= step;
    }
    return true;
}

// LatmGetValue() (table 1.43): 1 to 4 bytes, their count first.
std::optional<uint32_t> latm_value(BitReader& r) {
    auto count = r.bits(2);
    if (!count) return std::nullopt;
    uint32_t v = 0;
    for (uint32_t i = 0; i <= *count; ++i) {
        auto b = r.bits(8);
        if (!b) return std::nullopt;
        v = v << 8 | *b;
    }
    return v;
}

std::optional<uint32_t> object_type(BitReader& r) {
    auto t = r.bits(5);
    if (!t || *t != 31) return t;
    auto ext = r.bits(6);
    if (!ext) return std::nullopt;
    return 32 + *ext;
}

std::optional<uint32_t> sampling_rate(BitReader& r, uint8_t* index) {
    auto i = r.bits(4);
    if (!i) return std::nullopt;
    *index = uint8_t(*i);
    if (*i == 15) return r.bits(24);
    const uint32_t rate = aac::sample_rate(uint8_t(*i));
    if (rate == 0) return std::nullopt;
    return rate;
}

// program_config_element() (14496-3 4.4.1.1): the channels it places. Its
// byte_alignment() counts from `origin`, the first bit of the
// AudioSpecificConfig.
std::optional<uint16_t> program_config_channels(BitReader& r, size_t origin) {
    // element_instance_tag, object_type, sampling_frequency_index.
    if (!r.bits(4 + 2 + 4)) return std::nullopt;
    auto front = r.bits(4), side = r.bits(4), back = r.bits(4), lfe = r.bits(2), assoc = r.bits(3), cc = r.bits(4);
    if (!front || !side || !back || !lfe || !assoc || !cc) return std::nullopt;
    for (int k = 0; k < 2; ++k) {  // mono and stereo mixdown: present flag, element number
        auto present = r.bit();
        if (!present || (*present && !r.bits(4))) return std::nullopt;
    }
    auto matrix = r.bit();
    if (!matrix || (*matrix && !r.bits(3))) return std::nullopt;
    uint32_t channels = *lfe;
    for (uint32_t n : {*front, *side, *back})
        for (uint32_t i = 0; i < n; ++i) {
            auto element = r.bits(5);  // is_cpe, tag
            if (!element) return std::nullopt;
            channels += (*element & 0x10) ? 2 : 1;
        }
    if (!skip(r, 4 * (*lfe + *assoc) + 5 * *cc)) return std::nullopt;
    const size_t used = position(r) - origin;
    if (used % 8 && !r.bits(unsigned(8 - used % 8))) return std::nullopt;
    auto comment = r.bits(8);
    if (!comment || !skip(r, 8 * *comment)) return std::nullopt;
    return uint16_t(channels);
}

// AudioSpecificConfig() (1.6.2.1) of the AAC object types, with
// GASpecificConfig (4.4.1); `length` bounds it when the stream gives it.
std::optional<AudioConfig> audio_specific_config(BitReader& r, std::optional<uint32_t> length) {
    const size_t origin = position(r);
    AudioConfig c;
    auto type = object_type(r);
    uint8_t index = 0;
    auto rate = type ? sampling_rate(r, &index) : std::nullopt;
    auto channel_configuration = rate ? r.bits(4) : std::nullopt;
    if (!channel_configuration) return std::nullopt;
    c.sample_rate = *rate;
    // SBR and PS signalled explicitly: the extension's rate, then the core's
    // object type.
    if (*type == 5 || *type == 29) {
        uint8_t ext = 0;
        if (!sampling_rate(r, &ext)) return std::nullopt;
        type = object_type(r);
        if (!type) return std::nullopt;
    }
    // AAC Main, LC, SSR, LTP, scalable and TwinVQ: GASpecificConfig.
    if (*type < 1 || *type > 7 || *type == 5) return std::nullopt;
    c.object_type = uint8_t(*type);
    auto frame_length = r.bit();
    auto core = frame_length ? r.bit() : std::nullopt;
    if (!core || (*core && !r.bits(14))) return std::nullopt;  // coreCoderDelay
    auto extension = r.bit();
    if (!extension) return std::nullopt;
    c.frame_samples = *frame_length ? 960 : 1024;
    c.channels = aac::channel_count(uint8_t(*channel_configuration));
    if (*channel_configuration == 0) {
        auto channels = program_config_channels(r, origin);
        if (!channels || *channels == 0) return std::nullopt;
        c.channels = *channels;
    }
    if (*type == 6 && !r.bits(3)) return std::nullopt;  // layerNr
    if (*extension && !r.bit()) return std::nullopt;    // extensionFlag3
    const size_t end = position(r);
    // ascLen counts fill bits after the config too; they must lie in the
    // frame.
    if (length && (*length < end - origin || *length > r.data.size() * 8 - origin)) return std::nullopt;
    // The config's bits, from a byte boundary.
    BitReader copy = r;
    copy.byte_pos = origin / 8;
    copy.bit_pos = uint8_t(origin % 8);
    const size_t bits = end - origin;
    c.specific_config.resize((bits + 7) / 8);
    for (size_t k = 0; k < bits; k += 8) {
        const unsigned n = unsigned(std::min<size_t>(8, bits - k));
        auto b = copy.bits(n);
        if (!b) return std::nullopt;
        c.specific_config[k / 8] = uint8_t(*b << (8 - n));
    }
    if (length && !skip(r, origin + *length - end)) return std::nullopt;  // fillBits
    return c;
}

// StreamMuxConfig() (table 1.42), of the layouts read.
std::optional<MuxConfig> stream_mux_config(BitReader& r) {
    MuxConfig m;
    auto version = r.bit();
    if (!version) return std::nullopt;
    m.audio_mux_version = uint8_t(*version);
    if (*version) {
        auto version_a = r.bit();
        if (!version_a || *version_a) return std::nullopt;  // audioMuxVersionA 1 is reserved
        if (!latm_value(r)) return std::nullopt;            // taraBufferFullness
    }
    auto same_framing = r.bit();
    auto sub_frames = same_framing ? r.bits(6) : std::nullopt;
    auto programs = sub_frames ? r.bits(4) : std::nullopt;
    auto layers = programs ? r.bits(3) : std::nullopt;
    if (!layers || !*same_framing || *sub_frames != 0 || *programs != 0 || *layers != 0) return std::nullopt;
    std::optional<uint32_t> length;
    if (*version) {
        length = latm_value(r);
        if (!length) return std::nullopt;
    }
    auto audio = audio_specific_config(r, length);
    if (!audio) return std::nullopt;
    m.audio = std::move(*audio);
    auto frame_length_type = r.bits(3);
    if (!frame_length_type || *frame_length_type != 0 || !r.bits(8)) return std::nullopt;  // latmBufferFullness
    auto other = r.bit();
    if (!other) return std::nullopt;
    m.other_data = *other;
    if (*other) {
        if (*version) {
            auto bits = latm_value(r);
            if (!bits) return std::nullopt;
            m.other_data_bits = *bits;
        } else {
            uint64_t bits = 0;
            for (;;) {
                auto escape = r.bit();
                auto tmp = escape ? r.bits(8) : std::nullopt;
                if (!tmp) return std::nullopt;
                bits = bits * 256 + *tmp;
                if (bits > UINT32_MAX) return std::nullopt;
                if (!*escape) break;
            }
            m.other_data_bits = uint32_t(bits);
        }
    }
    auto crc = r.bit();
    if (!crc || (*crc && !r.bits(8))) return std::nullopt;
    return m;
}

}  // namespace

std::optional<uint32_t> loas_frame_length(ByteSpan b) {
    if (b.size() < 3 || b[0] != 0x56 || (b[1] & 0xE0) != 0xE0) return std::nullopt;
    return 3 + (uint32_t(b[1] & 0x1F) << 8 | b[2]);
}

std::optional<Payload> read_audio_mux_element(std::span<uint8_t> frame, MuxState& state) {
    if (frame.size() < 4) return std::nullopt;
    BitReader r{ByteSpan(frame.data(), frame.size())};
    r.byte_pos = 3;
    auto same = r.bit();
    if (!same) return std::nullopt;
    if (!*same) {
        // A configuration the reader cannot follow leaves the stream
        // without one until the next that it can.
        state.config = stream_mux_config(r);
        if (!state.config) return std::nullopt;
    }
    if (!state.config) return std::nullopt;
    // PayloadLengthInfo(): MuxSlotLengthBytes, then PayloadMux().
    size_t length = 0;
    for (;;) {
        auto b = r.bits(8);
        if (!b) return std::nullopt;
        length += *b;
        if (*b != 255) break;
    }
    const size_t from = position(r);
    if (length > frame.size() - 3 || from + 8 * length > 8 * frame.size()) return std::nullopt;
    // Each byte is written where bits already read were: the raw frame
    // starts at least 9 bits after byte 3.
    for (size_t i = 0; i < length; ++i) {
        const size_t bit = from + 8 * i;
        const size_t at = bit / 8, shift = bit % 8;
        const uint8_t hi = uint8_t(frame[at] << shift);
        const uint8_t lo = shift && at + 1 < frame.size() ? uint8_t(frame[at + 1] >> (8 - shift)) : 0;
        frame[3 + i] = uint8_t(hi | lo);
    }
    return Payload{3, length};
}

}  // namespace morvex::latm
