/*
 * System sleep and wake as the power manager drives them: the system state
 * first, then the device state each node's policy owner would ask for.
 */
#include "pnp_manager.h"

namespace sim {

namespace {

const char *SystemStateName(SYSTEM_POWER_STATE state)
{
    return state == PowerSystemWorking ? "S0" : state == PowerSystemSleeping3 ? "S3" : "S?";
}

}  // namespace

void PnpManager::Sleep()
{
    std::vector<DeviceNode *> order;
    for (DeviceNode *board : Boards())
        for (DeviceNode *node : ChildrenFirst(board))
            if (node->pdo && node->state == NodeState::Started) order.push_back(node);

    auto systemRequest = [](SYSTEM_POWER_STATE state) {
        return [state](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = SystemPowerState;
            s->Parameters.Power.State.SystemState = state;
            s->Parameters.Power.ShutdownType = PowerActionSleep;
        };
    };
    for (DeviceNode *node : order)
        if (!NT_SUCCESS(Send(node, IRP_MJ_POWER, IRP_MN_QUERY_POWER, "S3", systemRequest(PowerSystemSleeping3)).status))
            return;  // vetoed: the machine stays awake
    for (DeviceNode *node : order) {
        Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, SystemStateName(PowerSystemSleeping3),
             systemRequest(PowerSystemSleeping3));
        node->systemPower = PowerSystemSleeping3;
        Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "D3", [](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = DevicePowerState;
            s->Parameters.Power.State.DeviceState = PowerDeviceD3;
            s->Parameters.Power.ShutdownType = PowerActionSleep;
        });
        node->devicePower = PowerDeviceD3;
    }
}

void PnpManager::Wake()
{
    for (DeviceNode *board : Boards())
        for (DeviceNode *node : ParentsFirst(board)) {
            if (!node->pdo || node->systemPower == PowerSystemWorking) continue;
            Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "S0", [](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = SystemPowerState;
                s->Parameters.Power.State.SystemState = PowerSystemWorking;
                s->Parameters.Power.ShutdownType = PowerActionNone;
            });
            node->systemPower = PowerSystemWorking;
            Send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, "D0", [](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = DevicePowerState;
                s->Parameters.Power.State.DeviceState = PowerDeviceD0;
                s->Parameters.Power.ShutdownType = PowerActionNone;
            });
            node->devicePower = PowerDeviceD0;
        }
}

}  // namespace sim
