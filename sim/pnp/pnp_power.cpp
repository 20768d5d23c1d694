/*
 * System sleep and wake as the power manager drives them on Windows XP: it
 * sends system power requests only, children before parents on the way
 * down and parents first on the way up. Device power requests come from
 * each stack's power policy owner, which asks for them with
 * PoRequestPowerIrp while it handles the system request (MSD
 * kernel/handling-a-system-set-power-irp-in-a-device-power-policy-owner.md).
 */
#include "pnp_manager.h"

#include <functional>

namespace sim {

namespace {

// The parameters of a set- or query-power request for a system state, as
// the power manager fills them.
std::function<void(PIO_STACK_LOCATION)> SystemRequest(SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    return [state, action](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = SystemPowerState;
        s->Parameters.Power.State.SystemState = state;
        s->Parameters.Power.ShutdownType = action;
    };
}

}  // namespace

void PnpManager::SetSystemPower(DeviceNode *node, SYSTEM_POWER_STATE state, POWER_ACTION action, const char *name)
{
    Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, name, SystemRequest(state, action));
    // A request the policy owner asked for from a raised IRQL may still be
    // on its way from a worker thread.
    hk::JoinPowerWorkers();
    node->systemPower = state;
    node->devicePower = hk::DevicePowerStateOf(node->pdo);
}

void PnpManager::Sleep()
{
    std::vector<DeviceNode *> order;
    for (DeviceNode *board : Boards())
        for (DeviceNode *node : ChildrenFirst(board))
            if (node->pdo && node->state == NodeState::Started) order.push_back(node);

    for (DeviceNode *node : order)
        if (!NT_SUCCESS(
                Send(node, IRP_MJ_POWER, IRP_MN_QUERY_POWER, "S3", SystemRequest(PowerSystemSleeping3, PowerActionSleep))
                    .status))
            return;  // vetoed: the machine stays awake
    for (DeviceNode *node : order) SetSystemPower(node, PowerSystemSleeping3, PowerActionSleep, "S3");
}

void PnpManager::Wake()
{
    for (DeviceNode *board : Boards())
        for (DeviceNode *node : ParentsFirst(board)) {
            if (!node->pdo || node->systemPower == PowerSystemWorking) continue;
            SetSystemPower(node, PowerSystemWorking, PowerActionNone, "S0");
        }
    ProcessInvalidations();
}

}  // namespace sim
