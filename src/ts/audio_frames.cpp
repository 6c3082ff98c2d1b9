#include "ts/audio_frames.h"

#include <algorithm>

namespace morvex {
namespace {

constexpr uint64_t kRecognitionSpan = 64 * 1024;

enum class Match { Yes, No, NeedMore };

// A frame of `length` bytes at `e` that another header follows (or the
// stream's end, when it is final).
template <typename Parse>
Match followed(const AudioStream& s, uint64_t e, uint64_t length, size_t header, bool final, Parse&& parse) {
    const uint64_t end = s.end();
    if (length > end - e) return final ? Match::No : Match::NeedMore;
    const uint64_t next = e + length;
    if (next == end) return final ? Match::Yes : Match::NeedMore;
    if (end - next < header) return final ? Match::No : Match::NeedMore;
    return parse(s.from(next)) ? Match::Yes : Match::No;
}

}  // namespace

void AudioStream::drop_before(uint64_t pos, uint64_t first_pes) {
    if (pos > base) {
        const size_t n = size_t(std::min<uint64_t>(pos - base, data.size()));
        if (n * 2 >= data.size() || n >= (size_t(1) << 20)) {
            data.erase(data.begin(), data.begin() + ptrdiff_t(n));
            base += n;
        }
    }
    while (!pes.empty() && pes_base < first_pes) {
        pes.pop_front();
        ++pes_base;
    }
    while (!breaks.empty() && breaks.front() < pos) breaks.pop_front();
}

Recognised recognise_audio(AudioRecogniser& r, const AudioStream& s, bool final, AudioCodec* codec) {
    const uint64_t end = s.end();
    const uint64_t limit = std::min<uint64_t>(end, kRecognitionSpan);
    const size_t header = r.dolby ? 6 : r.latm ? 3 : 7;
    for (; r.pos + header <= limit; ++r.pos) {
        const uint64_t e = r.pos;
        const ByteSpan at = s.from(e);
        if (r.latm) {
            auto length = latm::loas_frame_length(at);
            if (!length) continue;
            const Match m = followed(s, e, *length, 3, final, [](ByteSpan b) { return bool(latm::loas_frame_length(b)); });
            if (m == Match::NeedMore) return Recognised::NotYet;
            if (m == Match::Yes) {
                *codec = AudioCodec::Latm;
                return Recognised::Yes;
            }
            continue;
        }
        if (r.dolby) {
            if (at[0] != 0x0B) continue;
            auto h = ac3::parse_frame_header(at);
            if (!h) continue;
            const Match m = followed(s, e, h->frame_size, 6, final, [](ByteSpan b) { return bool(ac3::parse_frame_header(b)); });
            if (m == Match::NeedMore) return Recognised::NotYet;
            if (m == Match::Yes) {
                *codec = h->enhanced ? AudioCodec::Eac3 : AudioCodec::Ac3;
                return Recognised::Yes;
            }
            continue;
        }
        if (at[0] != 0xFF) continue;
        if (auto h = aac::parse_adts_header(at)) {
            const Match m = followed(s, e, h->frame_length, 7, final, [](ByteSpan b) { return bool(aac::parse_adts_header(b)); });
            if (m == Match::NeedMore) return Recognised::NotYet;
            if (m == Match::Yes) {
                *codec = AudioCodec::Aac;
                return Recognised::Yes;
            }
        }
        if (auto h = mpeg_audio::parse_frame_header(at)) {
            const Match m = followed(s, e, h->frame_length, 4, final,
                                     [](ByteSpan b) { return bool(mpeg_audio::parse_frame_header(b)); });
            if (m == Match::NeedMore) return Recognised::NotYet;
            if (m == Match::Yes) {
                *codec = AudioCodec::MpegAudio;
                return Recognised::Yes;
            }
        }
    }
    if (limit < kRecognitionSpan && !final) return Recognised::NotYet;
    return Recognised::No;
}

// A frame that begins at `e` (its payload at `offset`): it takes the PES in
// which it begins, the last one that began at or before it.
CutStep found_frame(AudioCutter& c, const AudioStream& s, uint64_t e, uint64_t offset, uint32_t size, AudioFrame* frame) {
    uint64_t m = c.mark;
    for (;;) {
        const uint64_t next = m == kNoPes ? s.pes_base : m + 1;
        const PesMark* p = s.mark(next);
        if (!p || p->offset > e) break;
        m = next;
    }
    if (m != c.mark) c.index = 0;
    c.mark = m;
    const AudioFrame f{offset, size, m, c.index++};
    if (c.codec != AudioCodec::Eac3) {
        *frame = f;
        return CutStep::Frame;
    }
    // E-AC-3: the frame before is whole once this one begins.
    std::optional<AudioFrame> done = c.held;
    c.held = f;
    if (!done) return CutStep::Skip;
    if (!c.configs.eac3) c.configs.eac3 = ac3::eac3_config(s.from(done->offset));
    *frame = *done;
    return CutStep::Frame;
}

CutStep cut_one(AudioCutter& c, AudioStream& s, bool final, AudioFrame* frame) {
    const uint64_t n = s.end();
    const uint64_t e = c.pos;
    const bool dolby = c.codec == AudioCodec::Ac3 || c.codec == AudioCodec::Eac3;
    const uint64_t min_header = c.codec == AudioCodec::MpegAudio ? 4 : dolby ? 6 : c.codec == AudioCodec::Latm ? 3 : 7;
    while (!s.breaks.empty() && s.breaks.front() <= e) s.breaks.pop_front();
    // Where the next continuity break lies, or UINT64_MAX without one.
    const uint64_t break_at = s.breaks.empty() ? UINT64_MAX : s.breaks.front();
    const bool has_break = !s.breaks.empty();
    // Bytes up to a break cannot begin a frame that ends after it: the cut
    // goes on at the break.
    const uint64_t usable = has_break ? break_at : n;
    if (usable - e < min_header) {
        if (has_break) {
            c.pos = break_at;
            return CutStep::Skip;
        }
        return final ? CutStep::Done : CutStep::Wait;
    }
    const ByteSpan at = s.from(e);
    uint64_t length = 0, header = 0;
    bool continues_frame = false;  // an E-AC-3 substream of the frame before
    bool cut_short = false;        // a header whose frame has not all arrived
    // A header whose frame runs across the next break lost bytes: dropped.
    auto across_break = [&](uint64_t frame_length) { return frame_length > break_at - e; };
    if (c.codec == AudioCodec::Latm) {
        if (auto l = latm::loas_frame_length(at)) {
            if (across_break(*l)) {
                ++c.dropped;
                c.pos = break_at;
                return CutStep::Skip;
            }
            if (*l > n - e) {
                if (!final) return CutStep::Wait;
            } else {
                c.pos += *l;
                const auto payload = latm::read_audio_mux_element(std::span<uint8_t>(s.data).subspan(size_t(e - s.base), *l), c.latm);
                if (!payload || payload->size == 0) return CutStep::Skip;
                if (!c.configs.latm) c.configs.latm = c.latm.config->audio;
                return found_frame(c, s, e, e + payload->offset, uint32_t(payload->size), frame);
            }
        }
        ++c.pos;
        return CutStep::Skip;
    }
    if (c.codec == AudioCodec::MpegAudio) {
        auto h = mpeg_audio::parse_frame_header(at);
        if (h && h->frame_length <= n - e) {
            length = h->frame_length;
            if (!c.configs.mpeg) c.configs.mpeg = *h;
        } else if (h) {
            cut_short = true;
        }
    } else if (dolby) {
        auto h = ac3::parse_frame_header(at);
        if (h && h->enhanced == (c.codec == AudioCodec::Eac3)) {
            if (across_break(h->frame_size)) {
                ++c.dropped;
                c.pos = break_at;
                return CutStep::Skip;
            }
            if (h->frame_size > n - e) {
                cut_short = true;
            } else {
                length = h->frame_size;
                // Dependent substreams and further independent ones belong
                // to the audio frame of independent substream 0 in front of
                // them (ETSI TS 102 366 E.1.3.1.1), one MP4 sample; without
                // that frame right before, they are dropped.
                continues_frame = h->enhanced && !(h->strmtyp != ac3::kDependent && h->substreamid == 0);
                if (continues_frame && (!c.held || c.held->offset + c.held->size != e)) {
                    c.pos += length;
                    return CutStep::Skip;
                }
                if (!c.configs.ac3 && !continues_frame) c.configs.ac3 = *h;
            }
        }
    } else {
        auto h = aac::parse_adts_header(at);
        if (h && h->frame_length <= n - e) {
            length = h->frame_length;
            header = h->header_size;
            if (!c.configs.aac) c.configs.aac = *h;
        } else if (h) {
            cut_short = true;
        }
    }
    if ((length > 0 && across_break(length)) || (cut_short && has_break)) {
        ++c.dropped;
        c.pos = break_at;
        return CutStep::Skip;
    }
    if (cut_short && !final) return CutStep::Wait;
    if (length == 0) {
        ++c.pos;  // a false sync, or a frame cut off at the end
        return CutStep::Skip;
    }
    if (continues_frame) {
        c.held->size += uint32_t(length);
        c.pos += length;
        return CutStep::Skip;
    }
    c.pos += length;
    if (length <= header) return CutStep::Skip;
    return found_frame(c, s, e, e + header, uint32_t(length - header), frame);
}

}  // namespace morvex
