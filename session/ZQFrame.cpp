#include "ZQLiveKit/ZQFrame.h"

// Out of line so that the frame's type information lives in one place (the kit library), which
// keeps dynamic_cast between frame kinds reliable across the library boundary.
ZQFrame::~ZQFrame() = default;
