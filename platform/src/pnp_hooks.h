/*
 * The Plug and Play manager's answers about its device nodes, as installed
 * with hk::SetPnpHooks. A copy is handed out so that no kernel lock is held
 * while the manager answers.
 */
#pragma once

#include <hk/host.h>

namespace hk::internal {

PnpHooks CurrentPnpHooks();

// Bug check 0xCA/0x2 when the manager knows no PDO |device|.
void RequirePdo(const PnpHooks &hooks, PDEVICE_OBJECT device, const char *service, const std::string &caller);

}  // namespace hk::internal
