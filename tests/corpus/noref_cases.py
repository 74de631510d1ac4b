"""Corpus cases for repairs without a reference clip (make_clip.py merges them into its CASES).

Same keys as make_clip.py's cases, plus:
  inband      the key frames carry SPS/PPS (VPS) after their delimiter, as bodies that repeat their
              parameter sets write them
  camera_sei  no encoder-options SEI (a camera writes none; buffering period / timing SEI stay)
  x264        extra libx264 options; profile, pix_fmt: the encoder profile and picture format
  refused     the repair must fail with exit 13 (a reference clip is needed)
  open_gop    H.265 open GOPs (CRA key pictures); the recording starts with one (the encoder's first GOP,
              which starts with an IDR picture, is left out)
  test_sizes  H.265 of one slice: the engine also tries these frame sizes (TORVELIN_TEST_FRAME_SIZES); a
              second run without them must be refused (exit 13)
  vf          an ffmpeg filter on the test picture (dark or bright scenes)
  donor_size  run with a donor clip of this frame size (same body, other settings), and once more
              without it (pictures must decode without errors in the recording's format; with
              refused_without_donor the repair must fail with exit 13 instead)
  donor_x264  the donor's own libx264 options (another body's); refused_with_donor: exit 13 with it
  matrices    the matrix set the engine must name: a prefix (or a tuple of them), the pictures at min_psnr dB
              luma PSNR; without min_psnr the whole name, the pictures bit-exact
"""

import pps_ids

# Custom quantisation matrices (rising towards the high frequencies, as a camera's do).
CQM4 = ",".join(str(16 + (i % 4) * 3 + (i // 4) * 2) for i in range(16))
CQM8 = ",".join(str(16 + (i % 8) * 2 + (i // 8) * 3) for i in range(64))
# Like a camera: no encoder-options SEI, and the fields decoding cannot tell apart (chroma QP offset,
# implicit B weighting) at the values the search assumes when nothing tells it otherwise.
CAMERA = ":psy=0:weightb=0"
# Another body's matrices, in the shape of the real bodies' (12 at DC, rising towards the high
# frequencies, the intra lists steeper), held by no table: libx264's 4x4 intra and inter lists.
def body_cqm(dc, intra, inter):
    """4x4 lists dc + step (x + y) + cross x y, (step, cross) for the intra and the inter list."""
    return ":8x8dct=0:cqm4i=%s:cqm4p=%s" % tuple(
        ",".join(str(dc + step * (x + y) + cross * x * y) for y in range(4) for x in range(4))
        for step, cross in (intra, inter))


OTHER_BODY = body_cqm(12, (4, 2), (2, 1))
# A body with 16 at DC and steep lists (none of the family the engine fits), and one coding with
# the standard's default lists (libx264's "jvt" set).
STEEP_BODY, DEFAULT_BODY = body_cqm(16, (6, 2), (3, 1)), ":8x8dct=0:cqm=jvt"
# Pictures as a camera's lens and sensor give them: the test pattern's edges off the block grid and
# softened, a little noise; and the same as a night scene or a bright, clipped sky.
LENS = "scale=iw*1.37:ih*1.37:flags=bicubic,crop=320:180:7:5,noise=alls=3:allf=t"
NIGHT, SKY = LENS + ",lutyuv=y=val/14:u=128:v=128", LENS + ",lutyuv=y=min(235\\,val*2)"


def case(codec, rate, groups, slices, cuts, **more):
    """320x180, B-pictures, one twos track, rtmd 1,024, data at 0x40000; a one-group reference."""
    return dict(dict(codec=codec, rate=rate, groups=groups, slices=slices, cuts=cuts, size="320x180", bframes=2,
                     audio="twos", rtmd=1024, data_at=0x40000, ref_groups=groups[:1]), **more)


def camera_case(rate, groups, slices, cuts, x264="", **more):
    """H.264 without parameter sets in the stream, as the usual bodies write it."""
    return case("h264", rate, groups, slices, cuts, camera_sei=True, x264=CAMERA + x264, **more)


def older_body(vf, matrices, cqm=OTHER_BODY):
    """The older I/P body's shape; three groups, so that the search sees the second one's key picture."""
    return camera_case((50, 1), [24] * 3, 4, [("in-frame", "frame", 2, 10)], cqm, bframes=0, vf=vf,
                       matrices=matrices, min_psnr=35)


CASES = {
    # A body that repeats SPS/PPS (VPS) in its key frames describes itself.
    "noref-avc-25p-twos-inband": case(
        "h264", (25, 1), [12] * 3, 4, [("in-frame", "frame", 2, 5), ("boundary", "boundary", 2)], inband=True),
    "noref-hevc-50p-ipcm4-inband": case(
        "hevc", (50, 1), [24] * 3, 2, [("in-audio", "audio", 1, 2, 0.5), ("in-frame", "frame", 2, 9)],
        audio="ipcm4", rtmd=19456, inband=True),
    # H.265 bodies (XAVC HS: no parameter sets in the stream, no encoder SEI): rebuilt from the slices.
    # Main10 4:2:0 long GOP with B-pictures, 2 slices; and a 4:2:2 10-bit I/P body with 32x32 coding
    # tree blocks and 3 slices (the encoder writes wavefront rows with several slices).
    "noref-hevc-25p-twos": case("hevc", (25, 1), [12] * 2, 2, [("in-frame", "frame", 1, 5)], camera_sei=True),
    "noref-hevc-50p-422-ipcm4": case(
        "hevc", (50, 1), [24] * 2, 3, [("in-frame", "frame", 1, 10)], camera_sei=True, bframes=0,
        pix_fmt="yuv422p10le", x265=":ctu=32", audio="ipcm4", rtmd=19456),
    # Open GOPs: the recording starts with a CRA picture (key pictures after it are CRA pictures too),
    # 2 slices, I/P.
    "noref-hevc-25p-open-gop": case("hevc", (25, 1), [12] * 3, 2, [("in-frame", "frame", 2, 5)],
                                    camera_sei=True, bframes=0, open_gop=1),
    # One slice per picture (bodies that do not write several): its size is found where the slice's data
    # ends, among the sizes cameras record; the test adds its own small size (test_sizes). With only the
    # cameras' sizes the same stream must be refused, not decoded as 1920x1080 or another. Without and
    # with wavefront rows (their entry points count the rows).
    "noref-hevc-25p-one-slice": case("hevc", (25, 1), [12] * 2, 1, [("in-frame", "frame", 1, 5)],
                                     camera_sei=True, x265=":wpp=0", test_sizes="320x180"),
    "noref-hevc-50p-one-slice-wpp": case("hevc", (50, 1), [24] * 2, 1, [("in-frame", "frame", 1, 10)],
                                         camera_sei=True, bframes=0, x265=":wpp=1", test_sizes="320x180"),
    # The usual H.264 bodies: rebuilt from the slices (flat matrices).
    "noref-avc-25p-twos-r1024": camera_case((25, 1), [12] * 3, 4, [("in-frame", "frame", 2, 5)]),
    "noref-avc-23976p-ipcm4-r19456": camera_case(
        (24000, 1001), [12] * 3, 2, [("in-audio", "audio", 2, 1, 0.5)], audio="ipcm4", rtmd=19456),
    "noref-avc-50p-twos-ip-only": camera_case(
        (50, 1), [24] * 2, 4, [("in-frame", "frame", 1, 10)], ":8x8dct=0", bframes=0, data_at=0x20000, vf=LENS),
    # The newer long-GOP 50p body (groups of 24, GOP 48, B-pictures): the search sees the first group,
    # half a GOP; every second group begins with a P or B picture. Its PPS ids 2 and 3 name its table set.
    "noref-avc-50p-longgop": camera_case(
        (50, 1), [24] * 4, 4, [("in-frame-mid-gop", "frame", 1, 7), ("boundary-mid-gop", "boundary", 3)], gop=48,
        x264=pps_ids.newer_body_x264(), two_pps="newer", matrices="table:newer-lgop"),
    # Its two PPS (ids 2 and 3, other matrices and chroma QP offsets): with a donor from the same body each
    # id gets that donor PPS's fields.
    "noref-avc-50p-two-pps-cqm-donor": camera_case(
        (50, 1), [24] * 3, 4, [("in-frame", "frame", 2, 9)], gop=48, x264=":cqm4=%s:cqm8=%s" % (CQM4, CQM8),
        two_pps=True, donor_size="640x360"),
    # 4:2:2 10-bit (XAVC S 4:2:2 modes): decodes without errors at 8 bits too; the depth is told by
    # the samples the wrong one clips.
    "noref-avc-2997p-422-10bit": camera_case(
        (30000, 1001), [15] * 2, 4, [("in-frame", "frame", 1, 7)], profile="high422", pix_fmt="yuv422p10le"),
    # The bit depth on custom matrices whatever the content: a 10-bit body on a bright, clipped sky
    # (the night scene is the older body's, below). Without a donor the depth must still come back right.
    "noref-avc-25p-10bit-bright-cqm-donor": camera_case(
        (25, 1), [12] * 2, 4, [("in-frame", "frame", 1, 5)], profile="high10", pix_fmt="yuv420p10le",
        x264=":cqm4=%s:cqm8=%s" % (CQM4, CQM8), vf="lutyuv=y=min(235\\,val*2)", donor_size="640x360"),
    # The older I/P body (8-bit, 4 slices, no 8x8 transform) with matrices no table holds, no donor:
    # fitted by the drift to the next key picture on ordinary, night and sky pictures (flat matrices:
    # 22, 39, 22 dB; the night at the right depth); the same with 16 at DC and steep lists (flat:
    # 27 dB, the table's sets 23 to 24 dB) and with the standard's defaults (flat 15 dB).
    "noref-avc-50p-other-body": older_body(LENS, "fitted"),
    "noref-avc-50p-other-body-night": older_body(NIGHT, ("fitted", "table:")),
    "noref-avc-50p-other-body-sky": older_body(SKY, "fitted"),
    "noref-avc-50p-steep-body": older_body(LENS, "fitted", STEEP_BODY),
    "noref-avc-50p-default-body": older_body(LENS, "table:standard-default", DEFAULT_BODY),
    # CAVLC: pictures decode under any initial QP (only brighter or darker), so only a donor from
    # the same body settles it; without one the repair is refused.
    "noref-avc-25p-cavlc-donor": camera_case(
        (25, 1), [12] * 2, 2, [("in-frame", "frame", 1, 4)], x264=":cabac=0", donor_size="640x360",
        refused_without_donor=True),
    # A donor from another body lends an initial QP 14 too high (its constant QP 40): residuals five
    # times too large are plainly not a picture, and the repair is refused.
    "noref-avc-25p-cavlc-wrong-donor": camera_case(
        (25, 1), [12] * 2, 2, [("in-frame", "frame", 1, 4)], x264=":cabac=0", donor_size="640x360",
        donor_x264=":qp=40", refused_with_donor=True, refused_without_donor=True),
}
