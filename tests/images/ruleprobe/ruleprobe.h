/*
 * The probe driver's slips: each one a single plausible fault of a WDM
 * function driver, chosen by the DWORD "Slip" under the service key before
 * the image loads. Slip 0 is the same driver without any fault.
 *
 * The probe attaches an FDO above the PDO it is given. IRP_MJ_DEVICE_CONTROL
 * runs the request-level slips (the probe completes it itself, except where
 * a slip passes it down); IRP_MJ_PNP handles START, SURPRISE_REMOVAL and
 * REMOVE as a function driver does and passes the rest down; it copies the
 * flags and type of the device below, as a filter must, so that it can stand
 * in for either.
 */
#pragma once

enum RuleProbeSlip {
    SlipNone = 0,

    // IRQL: where the probe holds its spin lock (DISPATCH_LEVEL).
    SlipRegistryUnderSpinLock = 1,  // RtlCheckRegistryKey (PASSIVE_LEVEL only)
    SlipReturnsHoldingSpinLock = 2, // an early exit forgets KeReleaseSpinLock
    SlipPagedCodeUnderSpinLock = 3, // a PAGED_CODE() routine
    SlipWidePrintUnderSpinLock = 4, // DbgPrint("%ws")
    SlipAddDeviceReturnsRaised = 5, // AddDevice raises the IRQL and forgets to lower it
    SlipCompletionReturnsRaised = 6,// the start's completion routine does the same

    // Status of a completed request.
    SlipCompletesWithPending = 10,       // IoCompleteRequest with STATUS_PENDING
    SlipCompletesWithCancelRoutine = 11, // its cancel routine still set
    SlipReturnsOtherStatus = 12,         // completes STATUS_SUCCESS, returns a failure

    // Use after free.
    SlipKeepsRegistryPath = 20,     // writes through the DriverEntry RegistryPath later
    SlipWritesFreedPool = 21,       // writes a block after ExFreePool
    SlipQueriesRemovedLower = 22,   // sends a request to the lower device after it went
    SlipLocksFreedPool = 23,        // acquires a remove lock kept in a pool block it freed

    // Removal.
    SlipDeletesInSurpriseRemoval = 30,  // detaches and deletes at surprise removal
    SlipFailsRemove = 31,               // completes IRP_MN_REMOVE_DEVICE with a failure
    SlipWaitsInSurpriseRemoval = 32,    // release-and-wait at surprise removal
    SlipDeletesHoldingRemoveLock = 33,  // deletes without release-and-wait
    SlipReleasesBeforeForward = 34,     // lets go of the start's remove lock before passing it down

    // A filter's device, as the PnP manager checks it after AddDevice: it
    // copies what the device below shows the drivers above.
    SlipDropsPowerPagable = 50,   // DO_POWER_PAGABLE not taken from the device below
    SlipDropsIoFlags = 51,        // DO_BUFFERED_IO not copied
    SlipSetsBothIoFlags = 52,     // DO_BUFFERED_IO and DO_DIRECT_IO together
    SlipKeepsOwnDeviceType = 53,  // DeviceType left as created

    // Plug and Play and power requests: what a function or filter driver
    // passes down, completes, and sends of its own.
    SlipStartUnhandled = 60,             // completes START as it came (STATUS_NOT_SUPPORTED), not passed down
    SlipStartNotPassedDown = 61,         // completes START with success, not passed down
    SlipStartFailsNotSupported = 62,     // fails a START the drivers below started with STATUS_NOT_SUPPORTED
    SlipPassesFailedStartDown = 63,      // sets a failure on START and passes it down anyway
    SlipOwnQueryNotAtNotSupported = 64,  // its own capabilities query starts at STATUS_SUCCESS
    SlipCapabilitiesUnset = 65,          // its own capabilities query without Version, Size, Address, UINumber
    SlipOwnPowerNotAtNotSupported = 66,  // its own power-sequence request starts at STATUS_SUCCESS
    SlipReportsItselfInRelations = 67,   // puts its own FDO into bus relations
    SlipChangesUnknownStatus = 70,       // sets success on a PnP request it does not understand
    SlipChangesUnknownInformation = 71,  // sets Information on one
    SlipCompletesUnknown = 72,           // completes one instead of passing it down
    SlipCompletesUnknownPower = 73,      // the same for a power request
    SlipCompletesQueryPower = 74,        // completes IRP_MN_QUERY_POWER with success, not passed down
    SlipCompletesQueryPowerUntouched = 75,  // completes it as it came
    SlipKeepsDeviceAtRemove = 76,        // neither detaches nor deletes at IRP_MN_REMOVE_DEVICE
    SlipOnlyDetachesAtRemove = 77,       // detaches, does not delete

    // What Windows itself stops on.
    SlipNullCompletionRoutine = 40,  // invoke flags with no routine
    SlipDetachesItself = 41,         // IoDetachDevice(own device) instead of the lower
    SlipExecutablePool = 42,         // NonPagedPool whatever Windows runs (code integrity: 0xC4/0x2000 from Windows 8)
    SlipNxPoolAlways = 43,           // NonPagedPoolNx whatever Windows runs (unknown before Windows 8)
};

#define RULEPROBE_SERVICE "ruleprobe"
