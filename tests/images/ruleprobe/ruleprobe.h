/*
 * The probe driver's slips: each one a single plausible fault of a WDM
 * function driver, chosen by the DWORD "Slip" under the service key before
 * the image loads. Slip 0 is the same driver without any fault.
 *
 * The probe attaches an FDO above the PDO it is given. IRP_MJ_DEVICE_CONTROL
 * runs the request-level slips (the probe completes it itself, except where
 * a slip passes it down); IRP_MJ_PNP handles START, SURPRISE_REMOVAL and
 * REMOVE as a function driver does and passes the rest down.
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

    // Removal.
    SlipDeletesInSurpriseRemoval = 30,  // detaches and deletes at surprise removal
    SlipFailsRemove = 31,               // completes IRP_MN_REMOVE_DEVICE with a failure
    SlipWaitsInSurpriseRemoval = 32,    // release-and-wait at surprise removal
    SlipDeletesHoldingRemoveLock = 33,  // deletes without release-and-wait
    SlipReleasesBeforeForward = 34,     // lets go of the start's remove lock before passing it down

    // What Windows itself stops on.
    SlipNullCompletionRoutine = 40,  // invoke flags with no routine
    SlipDetachesItself = 41,         // IoDetachDevice(own device) instead of the lower
};

#define RULEPROBE_SERVICE "ruleprobe"
