// Placeholder until the scan lands: the row answers like an unknown command.
#include "scan/scan.h"

std::vector<std::string> videoExts;
namespace { std::string g_mount; }
void setMountDirectory(const std::string& dir) { g_mount = dir; }
std::string mountDirectory() { return g_mount; }
std::string defaultMountDirectory() { return "/media"; }
Value scanRSV() { return Value{{"rsvs", Value::array()}, {"volumes", Value::array()}}; }
void handleScanRequest(Bridge& bridge, int64_t call, const Value&) { bridge.reply(call, Value{{"error", "unknown cmd"}}); }
