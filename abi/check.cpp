// Compiles the layout table; a mismatch fails the build that sees it.
#include "layout.h"
