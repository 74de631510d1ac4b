"""Corpus cases for repairs without a reference clip (make_clip.py merges them into its CASES).

Same keys as make_clip.py's cases, plus:
  inband      the key frames carry SPS/PPS (VPS) after their delimiter, as bodies that repeat their
              parameter sets write them
  camera_sei  no encoder-options SEI (a camera writes none; buffering period / timing SEI stay)
  x264        extra libx264 options; profile, pix_fmt: the encoder profile and picture format
  refused     the repair must fail with exit 13 (a reference clip is needed)
  donor_size  run with a donor clip of this frame size (same body, other settings), and once more
              without it (flat matrices: pictures must decode without errors; with
              refused_without_donor the repair must fail with exit 13 instead)
"""

# Custom quantisation matrices (rising towards the high frequencies, as a camera's do).
CQM4 = ",".join(str(16 + (i % 4) * 3 + (i // 4) * 2) for i in range(16))
CQM8 = ",".join(str(16 + (i % 8) * 2 + (i // 8) * 3) for i in range(64))

CASES = {
    # Repairs without a reference clip (run with --noref). A body that repeats SPS/PPS (VPS) in its
    # key frames describes itself: the parameter sets are taken from the stream.
    "noref-avc-25p-twos-inband": dict(
        codec="h264", size="320x180", rate=(25, 1), groups=[12] * 3, bframes=2, slices=4,
        audio="twos", rtmd=1024, data_at=0x40000, inband=True, ref_groups=[12],
        cuts=[("in-frame", "frame", 2, 5), ("boundary", "boundary", 2)]),
    "noref-hevc-50p-ipcm4-inband": dict(
        codec="hevc", size="320x180", rate=(50, 1), groups=[24] * 3, bframes=2, slices=2,
        audio="ipcm4", rtmd=19456, data_at=0x40000, inband=True, ref_groups=[24],
        cuts=[("in-audio", "audio", 1, 2, 0.5), ("in-frame", "frame", 2, 9)]),
    # The usual bodies: no parameter sets in the stream. H.265 must be refused (a reference is
    # needed); H.264 is rebuilt from its slices.
    "noref-hevc-25p-twos": dict(
        codec="hevc", size="320x180", rate=(25, 1), groups=[12] * 2, bframes=2, slices=2,
        audio="twos", rtmd=1024, data_at=0x40000, ref_groups=[12],
        cuts=[("in-frame", "frame", 1, 5)], refused=True),
    # H.264 without parameter sets in the stream: rebuilt from the slices (flat matrices). Like a
    # camera, no encoder-options SEI; the fields decoding cannot tell apart (chroma QP offset,
    # implicit B weighting) at the values the search assumes when nothing tells it otherwise.
    "noref-avc-25p-twos-r1024": dict(
        codec="h264", size="320x180", rate=(25, 1), groups=[12] * 3, bframes=2, slices=4,
        audio="twos", rtmd=1024, data_at=0x40000, ref_groups=[12],
        camera_sei=True, x264=":psy=0:weightb=0",
        cuts=[("in-frame", "frame", 2, 5)]),
    "noref-avc-23976p-ipcm4-r19456": dict(
        codec="h264", size="320x180", rate=(24000, 1001), groups=[12] * 3, bframes=2, slices=2,
        audio="ipcm4", rtmd=19456, data_at=0x40000, ref_groups=[12],
        camera_sei=True, x264=":psy=0:weightb=0",
        cuts=[("in-audio", "audio", 2, 1, 0.5)]),
    "noref-avc-50p-twos-ip-only": dict(
        codec="h264", size="320x180", rate=(50, 1), groups=[24] * 2, bframes=0, slices=4,
        audio="twos", rtmd=1024, data_at=0x20000, ref_groups=[24],
        camera_sei=True, x264=":psy=0:weightb=0",
        cuts=[("in-frame", "frame", 1, 10)]),
    # 4:2:2 10-bit (XAVC S 4:2:2 modes): decodes without errors at 8 bits too; the depth is told
    # by the samples the wrong one clips.
    "noref-avc-2997p-422-10bit": dict(
        codec="h264", size="320x180", rate=(30000, 1001), groups=[15] * 2, bframes=2, slices=4,
        audio="twos", rtmd=1024, data_at=0x40000, ref_groups=[15], camera_sei=True,
        x264=":psy=0:weightb=0", profile="high422", pix_fmt="yuv422p10le",
        cuts=[("in-frame", "frame", 1, 7)]),
    # One real body used custom 4x4/8x8 scaling matrices: with a donor clip from the same body
    # (another frame size) the matrices are lent and the repair is exact; without one the
    # pictures decode without errors (flat matrices, colours off).
    "noref-avc-25p-cqm-donor": dict(
        codec="h264", size="320x180", rate=(25, 1), groups=[12] * 2, bframes=2, slices=4,
        audio="twos", rtmd=1024, data_at=0x40000, ref_groups=[12], camera_sei=True,
        x264=":psy=0:weightb=0:cqm4=%s:cqm8=%s" % (CQM4, CQM8), donor_size="640x360",
        cuts=[("in-frame", "frame", 1, 5)]),
    # CAVLC: pictures decode under any initial QP (only brighter or darker), so only a donor from
    # the same body settles it; without one the repair is refused.
    "noref-avc-25p-cavlc-donor": dict(
        codec="h264", size="320x180", rate=(25, 1), groups=[12] * 2, bframes=2, slices=2,
        audio="twos", rtmd=1024, data_at=0x40000, ref_groups=[12], camera_sei=True,
        x264=":psy=0:weightb=0:cabac=0", donor_size="640x360", refused_without_donor=True,
        cuts=[("in-frame", "frame", 1, 4)]),
}
