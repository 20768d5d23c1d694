// Compiles the layout table; a mismatch fails the build that sees it.
#include "x86_layout.h"
