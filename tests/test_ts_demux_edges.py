"""Transport streams built packet by packet: the demultiplexer's edge cases
and the repairs of the conversion, checked in the MP4 that comes out."""

import pytest

import morvex
from toolkit import h264, mp4, ts

VIDEO_PID, AUDIO_PID, PMT_PID = 256, 257, 0x1000


def program(*, streams=None, video=(), audio=(), pmt_kw=None):
    """PAT, PMT, then the video PES (payload, pts, dts) and audio PES (payload, pts)."""
    if streams is None:
        streams = [ts.Stream(ts.H264, VIDEO_PID), ts.Stream(ts.AAC_ADTS, AUDIO_PID)]
    w = ts.TsWriter().pat({1: PMT_PID}).pmt(PMT_PID, streams, **(pmt_kw or {}))
    for payload, pts, dts in video:
        w.pes(VIDEO_PID, ts.VIDEO_STREAM_ID, payload, pts=pts, dts=dts)
    for payload, pts in audio:
        w.pes(AUDIO_PID, ts.AUDIO_STREAM_ID, payload, pts=pts)
    return w.bytes()


def picture(idr=False, *, aud=True, params=False):
    nals = [h264.aud()] if aud else []
    if params:
        nals += [h264.sps(), h264.pps()]
    nals.append(h264.slice_nal(idr=idr))
    return h264.annexb(*nals)


def frames(n, size=40, **header):
    return b"".join(ts.adts_frame(bytes([i]) * size, **header) for i in range(n))


def report(capfd):
    return capfd.readouterr().out.splitlines()


def tracks(data):
    return mp4.track_tables(data)


def test_false_adts_sync_does_not_silence_the_rest(capfd):
    # A sync word whose frame_length (2) is shorter than any header.
    false_sync = bytes([0xFF, 0xF1, 0x50, 0x80, 0x00, 0x40, 0x00, 0x00])
    data = program(video=[(picture(True, params=True), 3000, None)],
                   audio=[(false_sync + frames(5), 3000), (frames(3), 3000 + 3 * 1920)])
    out = morvex.convert_ts_to_mp4(data)
    assert "Total audio frames collected: 8" in report(capfd)
    assert len(tracks(out)[1]["sizes"]) == 8


def test_parameter_set_crossing_a_packet_boundary_is_stored_whole():
    # 640x360: 40 x 23 macroblocks, 8 lines cropped at the bottom.
    sps = h264.sps(width_mbs=40, height_map_units=23, crop=(0, 0, 0, 4))
    pps = h264.pps()
    # The PES header with a PTS takes 14 of the first packet's 184 bytes;
    # SEI filler places the SPS so that it straddles the packet's end.
    lead = h264.annexb(h264.aud())
    sei = h264.sei(payload=b"\x11" * (170 - len(lead) - 4 - 4 - 3 - 4))
    body = lead + h264.annexb(sei, sps, pps, h264.slice_nal())
    start = body.index(b"\x00\x00\x00\x01" + sps[:1])
    assert start + 4 < 170 < start + 4 + len(sps)
    out = morvex.convert_ts_to_mp4(program(video=[(body, 3000, None)]))
    avc1 = mp4.walk(mp4.find(out, "moov", "trak", "mdia", "minf", "stbl", "stsd").payload[8:])[0]
    avcc = mp4.walk(avc1.payload[78:])[0]
    sps_len = int.from_bytes(avcc.payload[6:8], "big")
    assert avcc.payload[8:8 + sps_len] == sps
    assert avc1.payload[24:28] == (640).to_bytes(2, "big") + (360).to_bytes(2, "big")


@pytest.mark.parametrize("sps_kw,size", [
    (dict(width_mbs=120, height_map_units=68, crop=(0, 0, 0, 4)), (1920, 1080)),
    (dict(width_mbs=120, height_map_units=34, frame_mbs_only=False, crop=(0, 0, 0, 2)), (1920, 1080)),
    (dict(width_mbs=120, height_map_units=34, frame_mbs_only=False, profile_idc=100), (1920, 1088)),
    (dict(width_mbs=120, height_map_units=68, profile_idc=100, chroma_format_idc=2, crop=(0, 0, 0, 8)),
     (1920, 1080)),
], ids=["progressive", "interlaced", "interlaced_uncropped", "chroma_422"])
def test_track_size_from_sps(sps_kw, size):
    body = h264.annexb(h264.aud(), h264.sps(**sps_kw), h264.pps(), h264.slice_nal())
    out = morvex.convert_ts_to_mp4(program(video=[(body, 3000, None)]))
    tkhd = mp4.find(out, "moov", "trak", "tkhd").payload
    assert (int.from_bytes(tkhd[76:78], "big"), int.from_bytes(tkhd[80:82], "big")) == size


def test_video_only_programme(capfd):
    data = program(streams=[ts.Stream(ts.H264, VIDEO_PID)],
                   video=[(picture(True, params=True), 3000, None), (picture(), 6000, None)])
    out = morvex.convert_ts_to_mp4(data)
    assert report(capfd)[0] == f"Found PIDs - Video: {VIDEO_PID}, Audio: none"
    assert len(tracks(out)) == 1
    assert mp4.u32_at(mp4.find(out, "moov", "mvhd").payload, 96) == 2  # next_track_ID


def test_audio_only_programme_gives_an_audio_track(capfd):
    data = program(streams=[ts.Stream(ts.AAC_ADTS, AUDIO_PID)], audio=[(frames(4), 3000)])
    out = morvex.convert_ts_to_mp4(data)
    assert report(capfd)[0] == f"Found PIDs - Video: none, Audio: {AUDIO_PID}"
    assert [len(t["sizes"]) for t in tracks(out)] == [4]


def test_pmt_walk_ends_at_the_crc(capfd):
    # Choose a programme number whose CRC_32 begins with 0x0F, the ADTS AAC
    # stream type: read as one more entry it would invent an audio stream.
    streams = [ts.Stream(ts.H264, VIDEO_PID)]
    number = next(n for n in range(1, 1 << 16) if ts.pmt(streams, program_number=n)[-4] == ts.AAC_ADTS)
    # As muxers do, the section is followed by 0xFF stuffing in the payload.
    section = ts.pmt(streams, program_number=number)
    w = ts.TsWriter().pat({1: PMT_PID})
    w.raw(*ts.packetise(PMT_PID, b"\x00" + section + b"\xff" * (183 - len(section))))
    w.pes(VIDEO_PID, ts.VIDEO_STREAM_ID, picture(True, params=True), pts=3000)
    morvex.convert_ts_to_mp4(w.bytes())
    assert report(capfd)[0] == f"Found PIDs - Video: {VIDEO_PID}, Audio: none"


def test_first_video_and_audio_entries_are_selected(capfd):
    streams = [ts.Stream(0x06, 300), ts.Stream(ts.H264, VIDEO_PID), ts.Stream(ts.H264, 258),
               ts.Stream(ts.AAC_ADTS, AUDIO_PID), ts.Stream(ts.MPEG2_AUDIO, 259)]
    morvex.convert_ts_to_mp4(program(streams=streams, video=[(picture(True, params=True), 3000, None)]))
    assert report(capfd)[0] == f"Found PIDs - Video: {VIDEO_PID}, Audio: {AUDIO_PID}"


def test_access_units_without_delimiters():
    # One PES holding four pictures and no delimiter at all.
    body = h264.annexb(h264.sps(), h264.pps(), h264.slice_nal(idr=True), h264.slice_nal(idr=True, first_mb=150),
                       h264.sei(), h264.slice_nal(idr=False), h264.slice_nal(idr=False),
                       h264.sps(), h264.pps(), h264.slice_nal(idr=True))
    video = tracks(morvex.convert_ts_to_mp4(program(video=[(body, 3000, None)])))[0]
    assert len(video["sizes"]) == 4
    assert video["stss"] == [1, 4]
    # The first sample holds both slices of the IDR picture and nothing else.
    first = video["media"][0]
    n = int.from_bytes(first[:4], "big")
    m = int.from_bytes(first[4 + n:8 + n], "big")
    assert first[4] & 0x1F == 5 and first[8 + n] & 0x1F == 5
    assert len(first) == 8 + n + m


def test_delimited_stream_keeps_one_sample_per_delimiter():
    pes = [(picture(True, params=True), 3000, None)] + [(picture(), 3000 + 3000 * i, None) for i in range(1, 5)]
    video = tracks(morvex.convert_ts_to_mp4(program(video=pes)))[0]
    assert len(video["sizes"]) == 5
    assert video["stss"] == [1]


def test_samples_take_the_timestamps_of_their_own_pes():
    # The second PES carries two access units; the third's offset must stay
    # on the fourth sample.
    pes = [(picture(True, params=True), 6000, 3000),
           (picture() + picture(), 12000, 6000),
           (picture(), 18000, 9000)]
    video = tracks(morvex.convert_ts_to_mp4(program(video=pes)))[0]
    version, entries = video["ctts"]
    assert [o for _, o in entries] == [0, 3000, 0, 6000]
    assert version == 0


def test_negative_offsets_use_ctts_version_1():
    # PTS - DTS per PES: 3003, 9009, 0, 0 -> 0, 6006, -3003, -3003.
    pes = [(picture(True, params=True), 6006, 3003), (picture(), 18018, 9009),
           (picture(), 9009, 9009), (picture(), 12012, 12012)]
    version, entries = tracks(morvex.convert_ts_to_mp4(program(video=pes)))[0]["ctts"]
    assert version == 1
    assert [o for n, o in entries for _ in range(n)] == [0, 6006, -3003, -3003]


def test_timestamps_across_the_33_bit_wrap():
    wrap = 1 << 33
    start = wrap - 2 * 3003
    pes = [(picture(i == 0, params=i == 0), (start + 3003 * i) % wrap, None) for i in range(5)]
    audio = [(frames(2), (start + 1000) % wrap), (frames(2), (start + 1000 + 3840) % wrap)]
    video, sound = tracks(morvex.convert_ts_to_mp4(program(video=pes, audio=audio)))
    assert video["stts"] == [(5, 3003)]
    # Audio starts 1000 ticks after the video: the edit says so, not 2^33.
    out = morvex.convert_ts_to_mp4(program(video=pes, audio=audio))
    traks = mp4.find(out, "moov").find_all("trak")
    elst = traks[1].find("edts", "elst").payload
    assert int.from_bytes(elst[8:12], "big") == 1000


def test_lost_sync_and_leading_garbage_are_skipped():
    pes = [(picture(True, params=True), 3000, None)] + [(picture(), 3000 + 3000 * i, None) for i in range(1, 4)]
    clean = program(video=pes)
    packets = [clean[i:i + 188] for i in range(0, len(clean), 188)]
    damaged = b"\x00junk" + b"".join(packets[:4]) + b"\x12\x34\x56" + b"".join(packets[4:])
    assert tracks(morvex.convert_ts_to_mp4(damaged))[0]["sizes"] == tracks(morvex.convert_ts_to_mp4(clean))[0]["sizes"]


@pytest.mark.parametrize("data", [b"", b"\x00" * 500], ids=["empty", "no_sync_byte"])
def test_no_sync_byte(data):
    with pytest.raises(ValueError, match="^No valid TS sync byte found$"):
        morvex.convert_ts_to_mp4(data)


def test_short_input_with_sync_byte_fails_without_a_report(capfd):
    with pytest.raises(ValueError, match="^No video data found$"):
        morvex.convert_ts_to_mp4(b"\x47" + b"\x00" * 99)
    assert report(capfd) == []
