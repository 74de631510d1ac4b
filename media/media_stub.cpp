// Placeholder until media inspection lands.
#include "media/probe.h"
#include "media/thumbnail.h"

Value probe(const std::string&) { return Value{{"dur", 0}, {"audio_tracks", 0}, {"meta_tracks", 0}}; }
void handleProbeRequest(Bridge& bridge, int64_t call, const Value&) { bridge.reply(call, Value{{"error", "unknown cmd"}}); }
std::unique_ptr<MediaAsset> MediaAsset::open(const std::string&) { return nullptr; }
std::optional<std::string> thumbnailDataURL(MediaAsset&, double) { return std::nullopt; }
