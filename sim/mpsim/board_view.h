/*
 * The bus driver's view of a board, read from the board device's extension
 * the way a kernel debugger shows it: the model it identified, the number it
 * drew, the ranges it keeps.
 */
#pragma once

#include "report.h"

namespace sim {

// Empty (seen false) when no mpsbus device sits on the PDO's stack.
BoardDriverView ReadBoardDriverView(PDEVICE_OBJECT pdo);

}  // namespace sim
