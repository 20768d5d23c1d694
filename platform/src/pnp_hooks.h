/*
 * The Plug and Play manager's answers about its device nodes, as installed
 * with hk::SetPnpHooks. A copy is handed out so that no kernel lock is held
 * while the manager answers.
 */
#pragma once

#include <hk/host.h>

namespace hk::internal {

PnpHooks CurrentPnpHooks();

}  // namespace hk::internal
