/* Host platform: ntddk.h is wdm.h plus nothing the drivers use beyond it. */
#pragma once
#include "wdm.h"
