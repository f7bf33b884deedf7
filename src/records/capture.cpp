#include "records/capture.h"

namespace records {

Capture decideCapture(const CaptureInput& in) {
    if (!in.newReading)
        return Capture::Ignore;
    if (in.negative)
        return Capture::Negative;
    if (in.weight == 0)
        return Capture::Zero;
    if (in.displayRed)
        return Capture::LinkDown;
    return in.heldRows >= in.capacity ? Capture::SaveFirst : Capture::Record;
}

} // namespace records
