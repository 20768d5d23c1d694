/*
 * System sleep and wake as the power manager drives them: the system state
 * first, then the device state each node's policy owner would ask for.
 */
#include "pnp_manager.h"

#include <functional>

namespace sim {

namespace {

// The parameters of a set- or query-power request for a system or a device
// state, as the power manager fills them.
std::function<void(PIO_STACK_LOCATION)> SystemRequest(SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    return [state, action](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = SystemPowerState;
        s->Parameters.Power.State.SystemState = state;
        s->Parameters.Power.ShutdownType = action;
    };
}

std::function<void(PIO_STACK_LOCATION)> DeviceRequest(DEVICE_POWER_STATE state, POWER_ACTION action)
{
    return [state, action](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = state;
        s->Parameters.Power.ShutdownType = action;
    };
}

}  // namespace

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
    for (DeviceNode *node : order) {
        Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "S3", SystemRequest(PowerSystemSleeping3, PowerActionSleep));
        node->systemPower = PowerSystemSleeping3;
        Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "D3", DeviceRequest(PowerDeviceD3, PowerActionSleep));
        node->devicePower = PowerDeviceD3;
    }
}

void PnpManager::Wake()
{
    for (DeviceNode *board : Boards())
        for (DeviceNode *node : ParentsFirst(board)) {
            if (!node->pdo || node->systemPower == PowerSystemWorking) continue;
            Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "S0", SystemRequest(PowerSystemWorking, PowerActionNone));
            node->systemPower = PowerSystemWorking;
            Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "D0", DeviceRequest(PowerDeviceD0, PowerActionNone));
            node->devicePower = PowerDeviceD0;
        }
}

}  // namespace sim
