// Built only by the layers.upward_include_fails test, in the midi layer: an
// include of the controller, above it, must not compile.
#include "controller/controller.h"
