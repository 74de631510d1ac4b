#include <exception>

#include "bridge/queues.h"
#include "scan/scan.h"

void handleScanRequest(Bridge& bridge, int64_t call, const Value&) {
    runInBackground([self = bridge.shared_from_this(), call] {
        Value result;
        try {
            result = scanRSV();
        } catch (const std::exception&) {
            // Only memory can run out here; the page still gets a Scan result.
            result = Value{{"rsvs", Value::array()}, {"volumes", Value::array()}};
        }
        self->reply(call, std::move(result));
    });
}
