#include "WindowShape.h"

// The window server always composites: transparent pixels are transparent.

bool shapeFollowCompositor(QWindow*, std::function<void(bool)>) {
    return false;
}
