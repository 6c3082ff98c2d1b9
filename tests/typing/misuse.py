"""Calls the stubs must reject: each line below is one error for mypy."""

import morvex

morvex.convert_ts_to_mp4("text")  # E: arg-type
morvex.convert_ts_to_mp4(b"", reset_timestamps=1)  # E: arg-type
morvex.convert_ts_to_fmp4(b"", report=1)  # E: arg-type
morvex.convert_ts_to_fmp4(b"", None)  # E: call-arg
morvex.mux_fmp4_tracks(b"")  # E: call-arg
morvex.recover_mp4(b"", reference="good.mp4")  # E: arg-type
morvex.FragmentedMP4Processor().base_decode_time = 0  # E: misc
n: int = morvex.FragmentedMP4Processor().base_decode_time  # E: assignment
morvex.no_such_function()  # E: attr-defined
morvex.TransportStreamTransmuxer().init_segment = b""  # E: misc
s: bytes = morvex.TransportStreamTransmuxer().init_segment  # E: assignment
