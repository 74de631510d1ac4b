// Opening media files for reading, shared by the probe and the frame decoder.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "media/av_ptr.h"

// Opens `path` as a container the application understands (QuickTime/MP4
// family, MXF, Matroska, MPEG-TS, AVI and common audio files) with its
// streams described. Absent for anything else: a missing file, a path that is
// not a regular file (a folder or a pipe would block or mislead the
// demuxers), an unknown or damaged container. Only the local file protocol is
// ever used, whatever the path looks like. Blocks while reading; any thread.
FormatContextPtr openMediaFile(const std::string& path);

// A decoder for the stream, set up from its parameters, with `threadType`
// (FF_THREAD_FRAME or FF_THREAD_SLICE) and `threads` (0: as many as cores);
// null when there is none or it cannot be opened.
CodecContextPtr openStreamDecoder(const AVStream& st, int threadType, int threads);

// True for the QuickTime/MP4 family, whose tracks carry sample entries
// (four-character codes) and handler types.
bool isQuickTimeFamily(const AVFormatContext& fmt);

// Index of the first video stream that is a real track (cover art excluded),
// or -1.
int firstVideoStream(const AVFormatContext& fmt);

// The track's display transform as the affine (a, b, c, d) of
// x' = a*x + c*y, y' = b*x + d*y; absent when the track carries none.
std::optional<std::array<double, 4>> displayTransform(const AVStream& stream);

// Clockwise quarter turns, in degrees (0, 90, 180 or 270), that make the
// track's pictures upright.
int uprightRotation(const AVStream& stream);
